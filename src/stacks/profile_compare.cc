#include "stacks/profile_compare.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <unordered_map>

#include "stacks/process_names.h"
#include "stacks/stack_compare.h"

namespace stackpeek::stacks {
namespace {

constexpr size_t kMaxPids = 8;

}  // namespace

std::vector<ShareDifference> differing_functions(const std::vector<ProfileMember>& members,
                                                 double min_spread, size_t limit) {
  std::unordered_map<std::string_view, std::vector<double>> shares;
  for (size_t m = 0; m < members.size(); ++m) {
    const ProfileSummary& summary = *members[m].summary;
    for (const auto& function : summary.functions) {
      auto& row = shares[function.name];
      row.resize(members.size(), 0.0);
      row[m] = percent(function.total, summary.samples);
    }
  }
  std::vector<ShareDifference> out;
  for (auto& [name, row] : shares) {
    const auto [low, high] = std::ranges::minmax(row);
    if (high - low < min_spread) continue;
    out.push_back({std::string(name), std::move(row), high - low});
  }
  std::ranges::sort(out, [](const ShareDifference& a, const ShareDifference& b) {
    if (a.spread != b.spread) return a.spread > b.spread;
    return a.function < b.function;
  });
  if (out.size() > limit) out.resize(limit);
  return out;
}

std::string member_names(const std::vector<ProfileMember>& members,
                         const std::vector<size_t>& which) {
  std::vector<NamedProcess> named;
  named.reserve(which.size());
  for (const size_t m : which) named.push_back({.pid = members[m].pid, .rank = members[m].rank});
  std::ranges::sort(named, {}, &NamedProcess::pid);
  return process_names(named, {.pids = kMaxPids, .rank_pids = false});
}

std::string share_text(const ShareDifference& difference,
                       const std::vector<ProfileMember>& members) {
  std::map<long, std::vector<size_t>, std::greater<>> by_share;
  for (size_t m = 0; m < difference.shares.size(); ++m)
    by_share[std::lround(difference.shares[m])].push_back(m);
  std::vector<std::string> parts;
  parts.reserve(by_share.size());
  for (const auto& [share, which] : by_share)
    parts.push_back(fmt::format("{} {} %", member_names(members, which), share));
  return fmt::format("{}", fmt::join(parts, ", "));
}

}  // namespace stackpeek::stacks
