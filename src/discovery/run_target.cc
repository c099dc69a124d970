#include "discovery/run_target.h"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <limits>
#include <unordered_set>

#include "common/util.h"
#include "discovery/runtime.h"

namespace stackpeek::discovery {
namespace {

std::optional<uint32_t> parse_u32(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  const auto value = parse_unsigned(*text, std::numeric_limits<uint32_t>::max());
  if (!value) return std::nullopt;
  return static_cast<uint32_t>(*value);
}

TargetProcess target_process(const ProcessInfo& info, const std::string& group) {
  return {info.pid,
          group,
          parse_u32(info.torch.rank),
          parse_u32(info.torch.world_size),
          info.cmd,
          format_runtime(info.runtime)};
}

class TargetList {
 public:
  explicit TargetList(const std::vector<ProcessGroup>& groups) : groups_(groups) {}

  void add_group(const ProcessGroup& group) {
    for (const auto& member : group.members) add_pid(member.pid);
  }

  void add_pid(uint32_t pid) {
    if (!seen_.insert(pid).second) return;
    for (const ProcessGroup& group : groups_) {
      const auto it = std::ranges::find(group.members, pid, &ProcessInfo::pid);
      if (it != group.members.end()) {
        out_.push_back(target_process(*it, group.key));
        return;
      }
    }
    out_.push_back({pid, std::nullopt, std::nullopt, std::nullopt, {}, {}});
  }

  std::vector<TargetProcess> take() { return std::move(out_); }

 private:
  const std::vector<ProcessGroup>& groups_;
  std::unordered_set<uint32_t> seen_;
  std::vector<TargetProcess> out_;
};

std::string target_label(const std::vector<ProcessGroup>& groups, const TargetSpec& spec) {
  const size_t named = spec.pids.size() + spec.groups.size() + (spec.all ? 1 : 0);
  if (named != 1) return "selection";
  if (spec.all) return "all";
  if (!spec.pids.empty()) return fmt::format("pid-{}", spec.pids.front());
  const auto it = std::ranges::find(groups, spec.groups.front(), &ProcessGroup::key);
  return it == groups.end() ? spec.groups.front() : it->label;
}

}  // namespace

std::vector<uint32_t> RunTarget::pids() const {
  std::vector<uint32_t> out;
  out.reserve(processes.size());
  for (const auto& process : processes) out.push_back(process.pid);
  return out;
}

std::expected<RunTarget, std::string> resolve_target(const std::vector<ProcessGroup>& groups,
                                                     const TargetSpec& spec, std::string host) {
  TargetList list(groups);
  if (spec.all) {
    for (const ProcessGroup& group : groups) list.add_group(group);
  }
  for (const std::string& key : spec.groups) {
    const auto it = std::ranges::find(groups, key, &ProcessGroup::key);
    if (it == groups.end()) {
      return std::unexpected("no group has the key '" + key + "' (see `stackpeek list`)");
    }
    list.add_group(*it);
  }
  for (const uint32_t pid : spec.pids) list.add_pid(pid);
  return RunTarget{target_label(groups, spec), std::move(host), list.take()};
}

std::string local_host_name() {
  std::array<char, 256> name{};
  if (gethostname(name.data(), name.size() - 1) != 0 || name[0] == '\0') return "localhost";
  return name.data();
}

}  // namespace stackpeek::discovery
