#pragma once

// stacks.svg: the dumps of a group as one flame graph. Every process weighs the same; a
// box is as wide as the processes that pass through it and names them ("[rank 3]
// load_batch (hang.py:5)"); boxes of one class of processes (one bucket of the comparison)
// take its colour, the odd ones out warm, and what all processes share is neutral.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "stacks/stack_classes.h"
#include "stacks/stack_compare.h"

namespace stackpeek::report {

/// The file name the picture is written under in a folder.
constexpr std::string_view kStacksSvgName = "stacks.svg";

/// The picture of the results as `comparison` buckets them; `label` names the group.
/// Failed and unparsed dumps are not drawn; the subtitle counts them.
std::string stacks_svg(const std::vector<stacks::DumpResult>& results,
                       const stacks::StackComparison& comparison, std::string_view label);

/// The picture of merged classes (`compare`): the same as of the dumps they came from, but
/// each member drawn on its class's stack (its first member's lines).
std::string stacks_svg(const stacks::StackClasses& classes, std::string_view label);

/// Writes the picture to `path` whole (see write_file_whole).
Result<void> write_stacks_svg(const std::filesystem::path& path,
                              const std::vector<stacks::DumpResult>& results,
                              const stacks::StackComparison& comparison, std::string_view label);
Result<void> write_stacks_svg(const std::filesystem::path& path,
                              const stacks::StackClasses& classes, std::string_view label);

/// Writes the picture as "stackpeek-stacks-SLUG-SECONDS.svg" in the current folder, where
/// record runs leave their report folders ("-2.svg", "-3.svg" when the name is taken).
/// Returns the file written.
Result<std::filesystem::path> write_stacks_svg_here(const std::vector<stacks::DumpResult>& results,
                                                    const stacks::StackComparison& comparison,
                                                    std::string_view label);

}  // namespace stackpeek::report
