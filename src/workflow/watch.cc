#include "workflow/watch.h"

#include <fmt/format.h>

#include <algorithm>

#include "common/util.h"
#include "stacks/comparison_text.h"
#include "stacks/process_names.h"
#include "stacks/stack_history.h"
#include "workflow/watch_text.h"

namespace stackpeek::workflow {
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

// An event about `members` of a unit; the caller names the fields its kind adds.
WatchEvent unit_event(WatchEventKind kind, const std::string& key, const std::string& label,
                      const std::optional<std::string>& group, std::vector<TargetProcess> members,
                      WallClock::time_point wall) {
  return WatchEvent{.kind = kind,
                    .unit = key,
                    .group = group,
                    .label = label,
                    .members = std::move(members),
                    .unchanged = std::nullopt,
                    .detail = {},
                    .remaining = 0,
                    .evidence = {},
                    .time = wall};
}

std::string member_name(const TargetProcess& process) {
  if (process.rank) return fmt::format("rank {} (pid {})", *process.rank, process.pid);
  return fmt::format("pid {}", process.pid);
}

}  // namespace

std::optional<seconds> comparison_unchanged(const stacks::StackComparison& comparison) {
  return stacks::shortest_unchanged(comparison.buckets, [](const stacks::StackBucket& bucket) {
    return bucket.kind == stacks::BucketKind::Stack ? bucket.unchanged : std::nullopt;
  });
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
  if (group != nullptr && discovery::is_rank_group(group->kind)) return group->key;
  return fmt::format("pid-{}", process.pid);
}

std::string watch_members_text(const std::vector<TargetProcess>& members) {
  std::vector<stacks::NamedProcess> named;
  named.reserve(members.size());
  for (const auto& member : members) named.push_back({.pid = member.pid, .rank = member.rank});
  return stacks::process_names(named, {.rank_pids = false});
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
    events.push_back(unit_event(WatchEventKind::Ended, it->first, it->second.label,
                                it->second.group, it->second.members, wall));
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
          unit_event(WatchEventKind::Started, key, unit.label, unit.group, members, wall));
    }
    std::vector<TargetProcess> lost;
    for (const auto& old : unit.members) {
      if (std::ranges::find(members, old.pid, &TargetProcess::pid) != members.end()) continue;
      lost.push_back(old);
      history_.forget(old.pid);
      members_.erase(old.pid);
    }
    if (!lost.empty()) {
      WatchEvent event =
          unit_event(WatchEventKind::Lost, key, unit.label, unit.group, std::move(lost), wall);
      event.remaining = members.size();
      events.push_back(std::move(event));
    }
    unit.members = std::move(members);
    unit.records = std::move(unit_records);
    unit.results = std::move(results);
    observe_unit(key, unit, now, wall, events);
  }
  round_unchanged_ =
      stacks::shortest_unchanged(units_, [](const auto& entry) { return entry.second.unchanged; });
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
      WatchEvent event =
          unit_event(WatchEventKind::Failing, key, unit.label, unit.group, {unit.members[i]}, wall);
      event.detail = lines.empty() ? "dump failed" : std::string(lines.front());
      events.push_back(std::move(event));
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
    WatchEvent event =
        unit_event(WatchEventKind::Stuck, key, unit.label, unit.group, unit.members, wall);
    event.unchanged = unit.unchanged;
    event.detail = stuck_detail(comparison, unit.results, unit.members);
    events.push_back(std::move(event));
  } else if (unit.stuck && unit_moved(comparison)) {
    unit.stuck = false;
    WatchEvent event =
        unit_event(WatchEventKind::Recovered, key, unit.label, unit.group, unit.members, wall);
    event.unchanged = unit.unchanged;
    events.push_back(std::move(event));
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

}  // namespace stackpeek::workflow
