#include "cli/targets.h"

#include <algorithm>
#include <limits>
#include <unordered_set>

#include "app/list_model.h"
#include "common/util.h"

namespace stackpeek::cli {
namespace {

using discovery::ProcessGroup;

class TargetList {
 public:
  explicit TargetList(const std::vector<ProcessGroup>& groups) {
    for (const ProcessGroup& group : groups) {
      for (const auto& member : group.members) known_.push_back({member.pid, group.key, &member});
    }
  }

  void add_group(const ProcessGroup& group) {
    for (const auto& member : group.members) add_pid(member.pid);
  }

  void add_pid(uint32_t pid) {
    if (!seen_.insert(pid).second) return;
    const auto it = std::ranges::find(known_, pid, &TargetProcess::pid);
    out_.push_back(it == known_.end() ? TargetProcess{pid, std::nullopt, nullptr} : *it);
  }

  std::vector<TargetProcess> take() { return std::move(out_); }

 private:
  std::vector<TargetProcess> known_;
  std::unordered_set<uint32_t> seen_;
  std::vector<TargetProcess> out_;
};

std::optional<uint32_t> parse_u32(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  const auto value = parse_unsigned(*text, std::numeric_limits<uint32_t>::max());
  if (!value) return std::nullopt;
  return static_cast<uint32_t>(*value);
}

}  // namespace

std::expected<std::vector<TargetProcess>, std::string> resolve_targets(
    const std::vector<ProcessGroup>& groups, const Targets& targets) {
  TargetList list(groups);
  if (targets.all) {
    for (const ProcessGroup& group : groups) list.add_group(group);
  }
  for (const std::string& key : targets.groups) {
    const auto it = std::ranges::find(groups, key, &ProcessGroup::key);
    if (it == groups.end()) {
      return std::unexpected("no group has the key '" + key + "' (see `stackpeek list`)");
    }
    list.add_group(*it);
  }
  for (const uint32_t pid : targets.pids) list.add_pid(pid);
  return list.take();
}

std::string targets_label(const std::vector<ProcessGroup>& groups, const Targets& targets) {
  const size_t named = targets.pids.size() + targets.groups.size() + (targets.all ? 1 : 0);
  if (named != 1) return "selection";
  if (targets.all) return "all";
  if (!targets.pids.empty())
    return app::target_label(groups, app::Selection::process(targets.pids[0]));
  return app::target_label(groups, app::Selection::group(targets.groups[0]));
}

std::optional<uint32_t> known_rank(const discovery::ProcessInfo* info) {
  return info ? parse_u32(info->torch.rank) : std::nullopt;
}

std::optional<uint32_t> known_world_size(const discovery::ProcessInfo* info) {
  return info ? parse_u32(info->torch.world_size) : std::nullopt;
}

}  // namespace stackpeek::cli
