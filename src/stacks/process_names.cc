#include "stacks/process_names.h"

#include <algorithm>
#include <functional>

#include "common/util.h"
#include "stacks/bucket_text.h"

namespace stackpeek::stacks {
namespace {

// "pid 17", "pids 17 18 …".
std::string pid_list(const std::vector<uint32_t>& pids, size_t cap) {
  std::string out = pids.size() == 1 ? "pid" : "pids";
  for (size_t i = 0; i < pids.size(); ++i) {
    if (i == cap) return out + " " + std::string(kEllipsis);
    out += " " + std::to_string(pids[i]);
  }
  return out;
}

}  // namespace

std::string process_names(const std::vector<NamedProcess>& processes, const NameLimits& limits) {
  std::vector<uint32_t> ranks, rank_pids, pids;
  for (const auto& process : processes) {
    if (process.rank) {
      ranks.push_back(*process.rank);
      rank_pids.push_back(process.pid);
    } else {
      pids.push_back(process.pid);
    }
  }
  std::string out;
  if (!ranks.empty()) {
    std::sort(ranks.begin(), ranks.end());
    const bool one =
        std::adjacent_find(ranks.begin(), ranks.end(), std::not_equal_to<>()) == ranks.end();
    out = (one ? "rank " : "ranks ") + compact_ranges(std::move(ranks), limits.ranks);
    if (limits.rank_pids) out += " (" + pid_list(rank_pids, limits.pids) + ")";
  }
  if (!pids.empty()) out += (out.empty() ? "" : ", ") + pid_list(pids, limits.pids);
  return out;
}

}  // namespace stackpeek::stacks
