#pragma once

// Compares the stacks of a group of dumped processes: which processes show the same stack
// (one bucket each), the odd ones out first. The text is in stacks/comparison_text.h.
// Also compiled by the fuzz build (clang 14, C++20): keep to C++20 here.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/run_record.h"
#include "stacks/bucket_text.h"
#include "stacks/dump_parser.h"
#include "stacks/stack_classes.h"
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
  std::string job;                     // the job of the rank (see ClassMember); may be empty
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
  size_t failed = 0;     // Failed buckets (failures with one reason)
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

}  // namespace stackpeek::stacks
