#include "app/watch.h"

#include <fmt/format.h>

#include <algorithm>

#include "app/watch_text.h"
#include "common/util.h"
#include "stacks/comparison_text.h"

namespace stackpeek::app {
namespace {

using discovery::ProcessGroup;
using discovery::TargetProcess;
using std::chrono::seconds;

// Distinct stacks kept per process for its history; older ones are only counted.
constexpr size_t kKeptStacks = 32;

const ProcessGroup* find_group(const std::vector<ProcessGroup>& groups,
                               const std::optional<std::string>& key) {
  if (!key) return nullptr;
  const auto it = std::ranges::find(groups, *key, &ProcessGroup::key);
  return it == groups.end() ? nullptr : &*it;
}

std::string unit_label(const TargetProcess& process, const std::vector<ProcessGroup>& groups) {
  const ProcessGroup* group = find_group(groups, process.group);
  if (group == nullptr) return fmt::format("pid {}", process.pid);
  return fmt::format("{} [{}]", group->label, discovery::group_kind_label(group->kind));
}

// A member's stack changed since the last round.
bool unit_moved(const stacks::StackComparison& comparison) {
  return std::ranges::any_of(comparison.buckets, [](const stacks::StackBucket& bucket) {
    return bucket.kind == stacks::BucketKind::Stack && !bucket.unchanged;
  });
}

const stacks::StackFrame* innermost_frame(const stacks::ProcessDump& dump) {
  for (const auto& thread : dump.threads) {
    if (!thread.frames.empty()) return &thread.frames.front();
  }
  return nullptr;
}

// "rank 3 in load_batch (hang.py:5)": where the odd one out waits, or where all wait.
std::string stuck_detail(const stacks::StackComparison& comparison,
                         const std::vector<stacks::DumpResult>& results,
                         const std::vector<TargetProcess>& members) {
  if (comparison.buckets.empty()) return {};
  const stacks::StackBucket& bucket = comparison.buckets.front();
  const auto& dump = results[bucket.members.front()].dump;
  const stacks::StackFrame* frame = dump ? innermost_frame(*dump) : nullptr;
  const std::string where = frame ? "in " + stacks::format_frame(*frame) : "with no frames";
  if (comparison.buckets.size() == 1) return members.size() == 1 ? where : "all " + where;
  std::vector<TargetProcess> odd;
  for (const size_t index : bucket.members) odd.push_back(members[index]);
  return watch_members_text(odd) + " " + where;
}

std::string member_name(const TargetProcess& process) {
  if (process.rank) return fmt::format("rank {} (pid {})", *process.rank, process.pid);
  return fmt::format("pid {}", process.pid);
}

}  // namespace

std::optional<seconds> comparison_unchanged(const stacks::StackComparison& comparison) {
  std::optional<seconds> least;
  for (const auto& bucket : comparison.buckets) {
    if (bucket.kind != stacks::BucketKind::Stack || !bucket.unchanged) return std::nullopt;
    if (!least || *bucket.unchanged < *least) least = bucket.unchanged;
  }
  return least;
}

std::string_view watch_event_name(WatchEventKind kind) {
  switch (kind) {
    case WatchEventKind::Started:
      return "started";
    case WatchEventKind::Stuck:
      return "stuck";
    case WatchEventKind::Recovered:
      return "recovered";
    case WatchEventKind::Lost:
      return "lost";
    case WatchEventKind::Failing:
      return "failing";
    case WatchEventKind::Ended:
      return "ended";
  }
  return "started";
}

std::string watch_unit_key(const TargetProcess& process, const std::vector<ProcessGroup>& groups) {
  const ProcessGroup* group = find_group(groups, process.group);
  if (group != nullptr && group->kind == discovery::GroupKind::TorchDdp) return group->key;
  return fmt::format("pid-{}", process.pid);
}

std::string watch_members_text(const std::vector<TargetProcess>& members) {
  const bool ranked =
      std::ranges::all_of(members, [](const auto& m) { return m.rank.has_value(); });
  std::vector<uint32_t> values;
  values.reserve(members.size());
  for (const auto& member : members) values.push_back(ranked ? *member.rank : member.pid);
  if (ranked) {
    return (values.size() == 1 ? "rank " : "ranks ") + stacks::compact_ranges(values);
  }
  std::string text = values.size() == 1 ? "pid" : "pids";
  for (const uint32_t pid : values) text += " " + std::to_string(pid);
  return text;
}

Watch::Watch(seconds stuck_after, std::string compare_host)
    : stuck_after_(stuck_after), compare_host_(std::move(compare_host)) {}

std::vector<WatchEvent> Watch::observe_round(const std::vector<ProcessGroup>& groups,
                                             const discovery::RunTarget& target,
                                             const std::vector<RunRecord>& records,
                                             Clock::time_point now, WallClock::time_point wall) {
  ++rounds_;
  std::map<std::string, std::vector<size_t>> present;
  for (size_t i = 0; i < target.processes.size(); ++i) {
    present[watch_unit_key(target.processes[i], groups)].push_back(i);
  }
  std::vector<WatchEvent> events;
  for (auto it = units_.begin(); it != units_.end();) {
    if (present.contains(it->first)) {
      ++it;
      continue;
    }
    events.push_back({WatchEventKind::Ended,
                      it->first,
                      it->second.group,
                      it->second.label,
                      it->second.members,
                      std::nullopt,
                      {},
                      0,
                      {},
                      wall});
    for (const auto& member : it->second.members) {
      history_.forget(member.pid);
      members_.erase(member.pid);
    }
    it = units_.erase(it);
  }
  for (const auto& [key, indices] : present) {
    auto [it, inserted] = units_.try_emplace(key);
    UnitState& unit = it->second;
    std::vector<TargetProcess> members;
    std::vector<RunRecord> unit_records;
    std::vector<stacks::DumpResult> results;
    for (const size_t i : indices) {
      const TargetProcess& process = target.processes[i];
      members.push_back(process);
      unit_records.push_back(records[i]);
      results.push_back(
          stacks::dump_result_from_record(records[i], process.pid, process.rank, compare_host_));
    }
    unit.label = unit_label(members.front(), groups);
    const ProcessGroup* group = find_group(groups, members.front().group);
    unit.name = group != nullptr ? group->label : key;
    unit.group = members.front().group;
    if (inserted) {
      events.push_back(
          {WatchEventKind::Started, key, unit.group, unit.label, members, {}, {}, 0, {}, wall});
    }
    std::vector<TargetProcess> lost;
    for (const auto& old : unit.members) {
      if (std::ranges::find(members, old.pid, &TargetProcess::pid) != members.end()) continue;
      lost.push_back(old);
      history_.forget(old.pid);
      members_.erase(old.pid);
    }
    if (!lost.empty()) {
      events.push_back({WatchEventKind::Lost,
                        key,
                        unit.group,
                        unit.label,
                        std::move(lost),
                        {},
                        {},
                        members.size(),
                        {},
                        wall});
    }
    unit.members = std::move(members);
    unit.records = std::move(unit_records);
    unit.results = std::move(results);
    observe_unit(key, unit, now, wall, events);
  }
  round_unchanged_.reset();
  for (size_t i = 0; const auto& [key, unit] : units_) {
    if (!unit.unchanged) {
      round_unchanged_.reset();
      break;
    }
    if (i++ == 0 || *unit.unchanged < *round_unchanged_) round_unchanged_ = unit.unchanged;
  }
  return events;
}

void Watch::observe_unit(const std::string& key, UnitState& unit, Clock::time_point now,
                         WallClock::time_point wall, std::vector<WatchEvent>& events) {
  for (size_t i = 0; i < unit.members.size(); ++i) {
    const stacks::DumpResult& result = unit.results[i];
    MemberState& member = members_[result.pid];
    const bool failed = result.status == stacks::DumpStatus::Failed;
    if (failed && !member.failing) {
      const auto lines = split_lines(result.error);
      events.push_back({WatchEventKind::Failing,
                        key,
                        unit.group,
                        unit.label,
                        {unit.members[i]},
                        {},
                        lines.empty() ? "dump failed" : std::string(lines.front()),
                        0,
                        {},
                        wall});
    }
    member.failing = failed;
    remember_stack(result.pid, result, wall);
  }
  stacks::StackComparison comparison = stacks::compare_stacks(unit.results);
  stacks::apply_history(comparison, unit.results, history_, now);
  unit.unchanged = comparison_unchanged(comparison);
  const bool stuck_now = unit.unchanged && *unit.unchanged >= stuck_after_;
  if (stuck_now && !unit.stuck) {
    unit.stuck = true;
    events.push_back({WatchEventKind::Stuck,
                      key,
                      unit.group,
                      unit.label,
                      unit.members,
                      unit.unchanged,
                      stuck_detail(comparison, unit.results, unit.members),
                      0,
                      {},
                      wall});
  } else if (unit.stuck && unit_moved(comparison)) {
    unit.stuck = false;
    events.push_back({WatchEventKind::Recovered,
                      key,
                      unit.group,
                      unit.label,
                      unit.members,
                      unit.unchanged,
                      {},
                      0,
                      {},
                      wall});
  }
  unit.comparison = std::move(comparison);
}

void Watch::remember_stack(uint32_t pid, const stacks::DumpResult& result,
                           WallClock::time_point wall) {
  if (!result.dump) return;
  MemberState& member = members_[pid];
  if (!member.stacks.empty() && stacks::same_stack(member.stacks.back().dump, *result.dump)) {
    member.stacks.back().last = wall;
    ++member.stacks.back().rounds;
    return;
  }
  member.stacks.push_back({*result.dump, wall, wall, 1});
  if (member.stacks.size() > kKeptStacks) {
    member.stacks.erase(member.stacks.begin());
    ++member.dropped;
  }
}

std::optional<UnitEvidence> Watch::evidence(const std::string& key) const {
  const auto it = units_.find(key);
  if (it == units_.end() || !it->second.comparison) return std::nullopt;
  const UnitState& unit = it->second;
  return UnitEvidence{unit.name,         unit.group.value_or(key),
                      unit.members,      unit.records,
                      unit.results,      stacks::comparison_lines(*unit.comparison, unit.results),
                      history_text(unit)};
}

std::optional<seconds> Watch::unchanged(const std::string& key) const {
  const auto it = units_.find(key);
  return it == units_.end() ? std::nullopt : it->second.unchanged;
}

std::string Watch::history_text(const UnitState& unit) const {
  std::string text;
  for (const auto& process : unit.members) {
    const auto it = members_.find(process.pid);
    if (it == members_.end()) continue;
    const MemberState& member = it->second;
    text += fmt::format("{}: {} distinct stack(s)", member_name(process),
                        member.stacks.size() + member.dropped);
    if (member.dropped > 0) text += fmt::format(", the first {} not kept", member.dropped);
    text += '\n';
    for (const SeenStack& seen : member.stacks) {
      text += fmt::format("  seen {} to {}, {} round(s)\n", wall_clock_text(seen.first),
                          wall_clock_text(seen.last), seen.rounds);
      for (const auto& thread : seen.dump.threads) {
        text += "    Thread " + thread.id;
        if (thread.name) text += " \"" + *thread.name + "\"";
        text += '\n';
        for (const auto& frame : thread.frames) {
          text += "        " + stacks::format_frame(frame) + "\n";
        }
      }
    }
    text += '\n';
  }
  return text;
}

}  // namespace stackpeek::app
