#include "workflow/watch_round.h"

#include <algorithm>

#include "common/util.h"
#include "discovery/proc_reader.h"
#include "workflow/dump.h"
#include "workflow/watch_text.h"

namespace stackpeek::workflow {
namespace {

void drop_exited(discovery::RunTarget& target, std::vector<RunRecord>& records) {
  for (size_t i = target.processes.size(); i-- > 0;) {
    if (records[i].status == RunStatus::Success ||
        discovery::process_running(target.processes[i].pid)) {
      continue;
    }
    target.processes.erase(target.processes.begin() + static_cast<std::ptrdiff_t>(i));
    records.erase(records.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

}  // namespace

WatchRounds::WatchRounds(WatchSettings settings)
    : settings_(std::move(settings)), watch_(settings_.stuck_after, settings_.compare_host) {}

std::expected<WatchRoundPlan, std::string> WatchRounds::plan_round(
    std::vector<discovery::ProcessGroup> groups, const discovery::TargetRequest& request) {
  discovery::TargetRequest asked = request;
  if (!std::exchange(first_, false)) {
    std::erase_if(asked.groups, [&](const std::string& key) {
      return std::ranges::find(groups, key, &discovery::ProcessGroup::key) == groups.end();
    });
  }
  auto target = discovery::resolve_target(groups, asked, settings_.host);
  if (!target) return std::unexpected(std::move(target.error()));
  std::erase_if(target->processes, [](const auto& p) { return !p.group.has_value(); });
  auto commands = dump_commands(*target, settings_.program);
  return WatchRoundPlan{
      .groups = std::move(groups), .target = std::move(*target), .commands = std::move(commands)};
}

WatchRoundResult WatchRounds::finish_round(WatchRoundPlan& plan, std::vector<RunRecord> records) {
  records.resize(plan.target.processes.size());
  drop_exited(plan.target, records);
  WatchRoundResult result;
  result.events = watch_.observe_round(plan.groups, plan.target, records, Watch::Clock::now(),
                                       WallClock::now());
  for (auto& event : result.events) {
    if (event.kind == WatchEventKind::Stuck) keep_evidence(event, result);
  }
  return result;
}

void WatchRounds::keep_evidence(WatchEvent& event, WatchRoundResult& result) const {
  auto evidence = watch_.evidence(event.unit);
  if (!evidence) return;
  auto folder = write_evidence(settings_.evidence_parent, evidence->name, unix_seconds(event.time),
                               evidence_files(*evidence, settings_.host));
  if (!folder) {
    result.errors.push_back(folder.error().message());
    return;
  }
  event.evidence = path_text(*folder);
  result.stuck.push_back(StuckUnit{.evidence = std::move(*evidence), .folder = std::move(*folder)});
}

RecordRequest WatchRounds::evidence_record(const StuckUnit& unit, uint32_t seconds) const {
  discovery::RunTarget target{.label = unit.evidence.name,
                              .host = settings_.host,
                              .processes = unit.evidence.members,
                              .notes = {}};
  return RecordRequest{.target = std::move(target),
                       .program = settings_.program,
                       .parent = unit.folder,
                       .seconds = seconds,
                       .use_sudo = false};
}

}  // namespace stackpeek::workflow
