#pragma once

// How every text names a set of processes: by rank where they have one, by pid otherwise.
// Also compiled by the fuzz build (clang 14, C++20): keep to C++20 here.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace stackpeek::stacks {

/// One process as a text names it.
struct NamedProcess {
  uint32_t pid = 0;
  std::optional<uint32_t> rank;
};

struct NameLimits {
  size_t ranks = 8;                                  // rank pieces listed before "…"
  size_t pids = std::numeric_limits<size_t>::max();  // pids listed before "…"
  bool rank_pids = true;                             // ranks followed by their pids
};

/// "rank 3 (pid 4242)", "ranks 0-2,4-7 (pids 40 41 …)", "pid 17", "pids 17 18"; the ranked
/// and the unranked joined by ", " when both are there. Processes that share one rank (a
/// rank and its workers) read "rank 3". Ranks are written as compact ranges; pids in the
/// order given. Without `rank_pids`, ranks alone: "ranks 0-2".
std::string process_names(const std::vector<NamedProcess>& processes,
                          const NameLimits& limits = {});

}  // namespace stackpeek::stacks
