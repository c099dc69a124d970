#pragma once

// The result of a stack comparison as plain data: classes of processes that show the same
// stack (or fail the same way), each with the stack it shows and its members. Built by the
// screen's comparison (classes_from_comparison) and by merging dump lines or other merged
// results (StackMerger); read by the comparison text and the JSON of `compare --json`.
// Also compiled by the fuzz build (clang 14, C++20): keep to C++20 here.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "stacks/dump_parser.h"

namespace stackpeek::stacks {

/// A class holds the processes with one stack, or the failed dumps with one reason; an
/// unparsed dump is a class of its own.
enum class BucketKind { Stack, Unparsed, Failed };

/// One process of a class.
struct ClassMember {
  std::string host;  // empty on the screen
  uint32_t pid = 0;
  std::optional<uint32_t> rank;
  std::optional<uint32_t> world_size;
  /// The job the rank belongs to (a dump line's "group"); empty when not known. Ranks and
  /// missing ranks are counted per job.
  std::string job;
  /// How long its stack had been exactly the same; none when not known.
  std::optional<std::chrono::seconds> unchanged;
  bool operator==(const ClassMember&) const = default;
};

/// Members order: ranked first by rank, then job, host and pid.
inline auto member_order(const ClassMember& m) {
  return std::make_tuple(!m.rank.has_value(), m.rank.value_or(0), std::string_view(m.job),
                         std::string_view(m.host), m.pid);
}

struct StackClass {
  BucketKind kind = BucketKind::Stack;
  /// Stack: the threads of the first member (ids, states and lines its own).
  std::vector<ThreadStack> threads;
  /// Stack: per thread and frame, the distinct lines of every member, ascending.
  std::vector<std::vector<std::vector<uint32_t>>> lines;
  /// Failed: the first member's error as py-spy wrote it. Unparsed: its output.
  std::string text;
  /// In member order (member_order).
  std::vector<ClassMember> members;
  /// Set when every member is known to show the same stack again: the least of theirs.
  std::optional<std::chrono::seconds> unchanged;
  bool operator==(const StackClass&) const = default;
};

/// Ranks missing from one job: the ranks 0..world size-1 that no member has, when the job's
/// ranked members agree on the world size.
struct MissingRanks {
  std::string job;
  std::vector<uint32_t> ranks;
  bool operator==(const MissingRanks&) const = default;
};

struct StackClasses {
  /// Smallest class first; equal sizes by their first members (member_order).
  std::vector<StackClass> classes;
  size_t processes = 0;
  /// Distinct hosts when any member names one; 0 on the screen, which selects its naming.
  size_t hosts = 0;
  size_t distinct = 0;  // Stack classes
  size_t failed = 0;    // processes whose dump failed
  size_t unparsed = 0;  // processes whose dump did not parse
  /// Jobs (job text, ascending) that miss ranks.
  std::vector<MissingRanks> missing;
  /// Distinct non-empty job texts, ascending.
  std::vector<std::string> jobs;
  bool operator==(const StackClasses&) const = default;
};

}  // namespace stackpeek::stacks
