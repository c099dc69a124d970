#pragma once

// What each process's stack was at its last dump, and since when it has been the same:
// the "unchanged for S s" of a stack comparison. Holds no clock: the caller passes the time.

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "stacks/dump_parser.h"

namespace stackpeek::stacks {

/// A 64-bit digest of a stack as compared (see stack_signature in stacks/stack_compare.h).
using StackSignature = uint64_t;

/// True when both dumps show exactly the same stack: the same threads in order with the
/// same names, and the same frames with the same function, file and line. Thread ids and
/// states do not matter: a process that moved by one line is not the same.
bool exact_same_stack(const ProcessDump& a, const ProcessDump& b);

/// One session's memory of stacks, per process (host and pid; the host is empty on the
/// screen). Memory grows by one stack per process ever observed.
class StackHistory {
 public:
  using Clock = std::chrono::steady_clock;

  /// Records that the process showed the stack of `dump` at `now`. When its last observed
  /// stack was exactly the same (exact_same_stack), returns the whole seconds since that
  /// stack was first seen (0 when `now` is earlier) and keeps that first time; otherwise
  /// (first observation, or a different stack) remembers the stack from `now` and returns
  /// none.
  std::optional<std::chrono::seconds> observe(uint32_t pid, const ProcessDump& dump,
                                              Clock::time_point now, std::string_view host = {});

  /// Forgets the process (e.g. when it is gone); the next observation starts afresh.
  void forget(uint32_t pid, std::string_view host = {});

  /// Number of processes remembered.
  size_t size() const { return entries_.size(); }

 private:
  struct Entry {
    std::vector<ThreadStack> threads;
    Clock::time_point first_seen;
  };
  std::map<std::pair<std::string, uint32_t>, Entry, std::less<>> entries_;
};

/// How long every item has been unchanged: the shortest of their `unchanged(item)` times;
/// none when any item has none, or there is no item.
template <class Range, class Unchanged>
std::optional<std::chrono::seconds> shortest_unchanged(const Range& items, Unchanged unchanged) {
  std::optional<std::chrono::seconds> least;
  for (const auto& item : items) {
    const std::optional<std::chrono::seconds> time = unchanged(item);
    if (!time) return std::nullopt;
    if (!least || *time < *least) least = time;
  }
  return least;
}

}  // namespace stackpeek::stacks
