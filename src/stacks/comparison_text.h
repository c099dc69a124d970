#pragma once

// The text of a stack comparison: the lines that open the output pane (screen), the output
// of a group dump and of the headless compare command (hosts given).
// Also compiled by the fuzz build (clang 14, C++20): keep to C++20 here.
//
// Text produced, for example:
//
//   Stacks compared: 8 processes, 2 distinct
//   1 process: rank 3 (pid 4242)
//       _next_data (torch/utils/data/dataloader.py:1329)
//       … 4 more frames
//   7 processes: ranks 0-2,4-7 (pids 4239 4240 4241 4243 4244 4245 4246), unchanged for 12 s
//       all_reduce (torch/distributed/distributed_c10d.py:2050)
//       …
//   (empty line)
//
// With hosts: "Stacks compared: 16 processes on 2 hosts, 2 distinct" and members named
// "node1:0-7 node2:8-10,12-15" (host:ranks), "web[1-4]:pid 4242" (hosts with the same pid
// and no rank), "[job 2] vm:0-3" when the hosts run ranks of several jobs, and
// "ranks 0-2,4-99999 on node[00001-12500]" when a class spans more hosts than are listed.

#include <cstddef>
#include <string>
#include <vector>

#include "stacks/stack_classes.h"
#include "stacks/stack_compare.h"
#include "stacks/stack_history.h"

namespace stackpeek::stacks {

/// Lines that open the output: the summary line (ending ", missing ranks 2" when some are;
/// failed and unparsed count processes), a line naming the jobs when there are several,
/// then per class its header and up to six innermost frames of the first thread of its first
/// member ("    … N more frames" when cut), each with the lines all members show there;
/// py-spy's first error line, and its innermost cause, for failed dumps (wrapped at spaces);
/// the first line of the output for an unparsed one; then one empty line. When other Stack
/// classes show the same first thread (lines aside), a class names its threads ("  thread 1
/// of 2: \"MainThread\"") and adds the first thread that differs from each of them, so no two
/// classes read the same. Headers:
///   "1 process: rank 3 (pid 4242)", "7 processes: ranks 0-2,4-7 (pids 1 2 3 4 5 6 7)",
///   "2 processes: pids 17 18", "3 processes: ranks 0,1 (pids 10 11), pid 12",
///   "1 process: pid 17, dump failed", "1 process: pid 17, stack not parsed",
///   with hosts: "3 processes: node1:0,1 node2:7", "1 process: web1:pid 4242".
/// At most 8 pids, rank pieces or host pieces are listed, then "…" (with hosts, and how
/// many more). A `width` other than 0 is the number of terminal columns every line must fit
/// in: a longer header lists fewer pids or host names, then fewer rank pieces (at least one
/// of each), and a longer frame, error or output line keeps its head and tail around a "…".
std::vector<std::string> class_lines(const StackClasses& classes, size_t width = 0);

/// The members as the comparison names them across hosts: "node1:0-7 node2:8,9 web1:pid 4242"
/// (at most 8 host pieces, then "…").
std::string host_member_names(const std::vector<const ClassMember*>& members);

/// The comparison's buckets as classes: each with its first member's threads and the lines of
/// all its members.
StackClasses classes_from_comparison(const StackComparison& comparison,
                                     const std::vector<DumpResult>& results);

/// class_lines of classes_from_comparison.
std::vector<std::string> comparison_lines(const StackComparison& comparison,
                                          const std::vector<DumpResult>& results, size_t width = 0);

/// compare_stacks, then apply_history when `history` is given, then comparison_lines.
std::vector<std::string> compare_stack_lines(const std::vector<DumpResult>& results,
                                             StackHistory* history,
                                             StackHistory::Clock::time_point now, size_t width = 0);

}  // namespace stackpeek::stacks
