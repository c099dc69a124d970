#pragma once

// Pieces of a bucket's text in a stack comparison: the lines its members show at a frame,
// where two stacks first differ, and an error line wrapped at word boundaries.
// Also compiled by the fuzz build (clang 14, C++20): keep to C++20 here.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "stacks/dump_parser.h"

namespace stackpeek::stacks {

/// "step (train.py:41,42)": the frame with the distinct `lines` its members show, as compact
/// ranges ("41-43,50"), or as "first-last" when that takes more than three pieces. No line
/// at all gives "step (train.py)".
std::string format_frame_lines(const StackFrame& frame, std::vector<uint32_t> lines);

/// Index of the first frame whose function or file differs; the shorter size when one
/// thread's frames are a prefix of the other's; the size when they are the same.
size_t first_different_frame(const ThreadStack& a, const ThreadStack& b);

/// Index of the first thread that differs by name or by frames (function and file); the
/// shorter thread count when one dump's threads are a prefix of the other's.
size_t first_different_thread(const std::vector<ThreadStack>& a, const std::vector<ThreadStack>& b);

/// `text` broken at spaces into lines of at most `width` columns (0: one line). A word
/// wider than `width` is a line of its own, cut in its middle by `fit`.
std::vector<std::string> wrap_words(std::string_view text, size_t width,
                                    std::string (*fit)(std::string, size_t));

/// Terminal columns of valid UTF-8 text.
size_t text_width(std::string_view text);

/// cut_middle (common/text_fit.h) with 0 for no limit: a frame keeps both its function and
/// its file and line.
std::string fit_middle(std::string text, size_t width);

/// Sorted distinct values as compact ranges: runs of three or more as "A-B", others
/// listed, joined by ","; after `max_pieces` pieces the rest is written as "…".
/// {0,1,2,4,5,6,7} gives "0-2,4-7"; {3,4} gives "3,4"; {} gives "".
std::string compact_ranges(std::vector<uint32_t> values, size_t max_pieces = 8);

/// Host names with a common prefix and numbered suffix as ranges, the way pdsh and Slurm
/// write them: {node01, node02, node03, node07, login} gives "login,node[01-03,07]". After
/// `max_pieces` numbers or ranges in one bracket the rest is written as "…".
std::string host_ranges(std::vector<std::string> hosts, size_t max_pieces = 8);

}  // namespace stackpeek::stacks
