#pragma once

// Compares the stacks of a group of dumped processes: which processes show the same stack
// (one bucket each), the odd ones out first, as the lines that open the output pane
// (screen) or the output of the headless compare command (hosts given).
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
// "node1:0-7 node2:8-10,12-15" (host:ranks) or "web1:4242" (host:pid, no rank).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/run_record.h"
#include "stacks/dump_parser.h"
#include "stacks/stack_history.h"

namespace stackpeek::stacks {

/// Whether py-spy produced a dump for the process.
enum class DumpStatus { Ok, Failed };

/// One process's dump result: the input of a comparison.
struct DumpResult {
  std::string host;  // empty on the screen; the headless command names hosts
  uint32_t pid = 0;
  std::optional<uint32_t> rank;        // torch RANK when known
  std::optional<uint32_t> world_size;  // torch WORLD_SIZE when known
  DumpStatus status = DumpStatus::Ok;
  std::string error;                // Failed: py-spy's standard error (first line is shown)
  std::optional<ProcessDump> dump;  // Ok and parsed
  std::string raw;                  // Ok but not parsed: the output as py-spy printed it
  /// How long the stack had been exactly the same when it was dumped, as reported with the
  /// dump (`dump --repeat`); none when not known.
  std::optional<std::chrono::seconds> unchanged;
  bool operator==(const DumpResult&) const = default;
};

/// The result of one `py-spy dump` command: Success gives Ok with the parsed standard
/// output (or the raw text when it does not parse); Failure and SpawnFailed give Failed
/// with the standard error (the standard output when standard error is blank), opened by
/// crash_text when py-spy was ended by a signal.
DumpResult dump_result_from_record(const RunRecord& record, uint32_t pid,
                                   std::optional<uint32_t> rank, std::string host = {},
                                   std::optional<uint32_t> world_size = std::nullopt);

/// "py-spy crashed: signal 11 (SIGSEGV)".
std::string crash_text(int signal);

/// A bucket holds the processes with one stack, or the failed dumps with one first error
/// line; an unparsed dump is a bucket of its own.
enum class BucketKind { Stack, Unparsed, Failed };

struct StackBucket {
  BucketKind kind = BucketKind::Stack;
  /// Indices into the results: processes with a rank first, by rank, then host, pid and
  /// index. The first member's dump supplies the frames shown, with the lines of all.
  std::vector<size_t> members;
  /// "unchanged for S s": set when every member is known to show the same stack again
  /// (the minimum over the members); none otherwise.
  std::optional<std::chrono::seconds> unchanged;
  bool operator==(const StackBucket&) const = default;
};

struct StackComparison {
  /// Smallest bucket first; equal sizes by their first members' order (rank, host, pid).
  std::vector<StackBucket> buckets;
  /// Per result, in input order: the signature of a parsed dump; none otherwise.
  std::vector<std::optional<StackSignature>> signatures;
  size_t processes = 0;  // number of results
  size_t distinct = 0;   // Stack buckets
  size_t failed = 0;     // Failed buckets
  size_t unparsed = 0;   // Unparsed buckets
  /// Distinct host texts when any result names a host (the headless command); 0 when no
  /// result does (the screen), which selects the screen's naming.
  size_t hosts = 0;
  /// Per result, in input order: how long its stack has been exactly the same; none when
  /// not known (first seen, changed, or not a parsed dump).
  std::vector<std::optional<std::chrono::seconds>> unchanged;
  /// The ranks 0..WORLD_SIZE-1 that no result has, when the ranked results share one world
  /// size; empty otherwise.
  std::vector<uint32_t> missing_ranks;
};

/// True when both dumps have the same threads, matched in order by name (a missing name
/// matches only a missing name), with the same frames compared on function and file. Line
/// numbers, thread ids and thread states are ignored.
bool same_stack(const ProcessDump& a, const ProcessDump& b);

/// A 64-bit digest of what same_stack compares: same_stack(a, b) implies equal
/// signatures. Stable within one build of the program only; do not store it.
StackSignature stack_signature(const ProcessDump& dump);

/// Buckets the results. Processes of one Stack bucket satisfy same_stack with its first
/// member (signatures are only a shortcut; equality is always checked). A Stack bucket's
/// `unchanged` and each `unchanged` entry come from the results' own `unchanged`.
StackComparison compare_stacks(const std::vector<DumpResult>& results);

/// Observes every parsed dump in `history` at `now` and sets each Stack bucket's
/// `unchanged` when all its members are unchanged (their minimum), so the header ends with
/// ", unchanged for S s". Unchanged means exactly the same stack, lines included (see
/// exact_same_stack), although buckets ignore lines. A member seen for the first time or
/// with a new stack leaves its bucket without it. Failed and unparsed dumps leave the history
/// untouched.
void apply_history(StackComparison& comparison, const std::vector<DumpResult>& results,
                   StackHistory& history, StackHistory::Clock::time_point now);

/// Lines that open the output: the summary line (ending ", missing ranks 2" when some are),
/// then per bucket its header and up to six innermost frames of the first thread of its
/// first member ("    … N more frames" when cut), each with the lines all members show
/// there; the first line of py-spy's error for failed dumps (wrapped at spaces); the first
/// line of the output for an unparsed one; then one empty line. When other Stack buckets
/// show the same first thread (lines aside), a bucket names its threads ("  thread 1 of 2:
/// \"MainThread\"") and adds the first thread that differs from each of them, so no two
/// buckets read the same. Headers:
///   "1 process: rank 3 (pid 4242)", "7 processes: ranks 0-2,4-7 (pids 1 2 3 4 5 6 7)",
///   "2 processes: pids 17 18", "3 processes: ranks 0,1 (pids 10 11), pid 12",
///   "1 process: pid 17, dump failed", "1 process: pid 17, stack not parsed",
///   with hosts: "3 processes: node1:0,1 node2:7", "1 process: web1:4242".
/// At most 8 pids, rank pieces or host names are listed, then "…". A `width` other than 0
/// is the number of terminal columns every line must fit in: a longer header lists fewer
/// pids or host names, then fewer rank pieces (at least one of each), and a longer frame,
/// error or output line keeps its head and tail around a "…".
std::vector<std::string> comparison_lines(const StackComparison& comparison,
                                          const std::vector<DumpResult>& results, size_t width = 0);

/// compare_stacks, then apply_history when `history` is given, then comparison_lines.
std::vector<std::string> compare_stack_lines(const std::vector<DumpResult>& results,
                                             StackHistory* history,
                                             StackHistory::Clock::time_point now, size_t width = 0);

/// The members as the comparison names them across hosts: "node1:0-7 node2:8,9 web1:4242"
/// (at most `max_names` hosts or pids, then "…").
std::string host_member_names(const std::vector<const DumpResult*>& members, size_t max_names = 8);

/// Sorted distinct values as compact ranges: runs of three or more as "A-B", others
/// listed, joined by ","; after `max_pieces` pieces the rest is written as "…".
/// {0,1,2,4,5,6,7} gives "0-2,4-7"; {3,4} gives "3,4"; {} gives "".
std::string compact_ranges(std::vector<uint32_t> values, size_t max_pieces = 8);

}  // namespace stackpeek::stacks
