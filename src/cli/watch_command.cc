#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "app/watch.h"
#include "app/watch_text.h"
#include "cli/commands.h"
#include "cli/output.h"
#include "cli/run_commands.h"
#include "cli/snapshot.h"
#include "cli/watch_exec.h"
#include "common/util.h"
#include "report/report_dir.h"
#include "report/report_writer.h"

namespace stackpeek::cli {
namespace {

using nlohmann::json;
using SteadyClock = std::chrono::steady_clock;

uint64_t unix_seconds(app::WallClock::time_point time) {
  const auto since = std::chrono::duration_cast<std::chrono::seconds>(time.time_since_epoch());
  return since.count() < 0 ? 0 : static_cast<uint64_t>(since.count());
}

std::string utc_text(app::WallClock::time_point time) {
  const std::time_t seconds = app::WallClock::to_time_t(time);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}Z", utc.tm_year + 1900, utc.tm_mon + 1,
                     utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
}

json event_json(const app::WatchEvent& event, const std::string& host) {
  json members = json::array();
  for (const auto& member : event.members) {
    members.push_back(
        {{"pid", member.pid}, {"rank", member.rank ? json(*member.rank) : json(nullptr)}});
  }
  return {{"time", utc_text(event.time)},
          {"host", host},
          {"event", app::watch_event_name(event.kind)},
          {"group", event.group.value_or(event.unit)},
          {"label", event.label},
          {"members", std::move(members)},
          {"unchanged_s", event.unchanged ? json(event.unchanged->count()) : json(nullptr)},
          {"detail", event.detail},
          {"evidence", event.evidence.empty() ? json(nullptr) : json(event.evidence)}};
}

// True while the process runs: a zombie has exited, whether or not its parent reaped it.
bool process_runs(uint32_t pid) {
  std::ifstream stat(fmt::format("/proc/{}/stat", pid));
  std::string text;
  if (!std::getline(stat, text)) return false;
  const size_t end = text.rfind(") ");
  return end != std::string::npos && end + 2 < text.size() && text[end + 2] != 'Z' &&
         text[end + 2] != 'X';
}

// The round's processes: the targets resolved from a fresh snapshot. Processes the
// snapshot does not list have exited; group keys no longer present name groups that have
// ended (the first round still reports an unknown key).
std::expected<discovery::RunTarget, std::string> round_target(
    const std::vector<discovery::ProcessGroup>& groups, const Options& options, bool first) {
  discovery::TargetRequest request = options.targets;
  if (!first) {
    std::erase_if(request.groups, [&](const std::string& key) {
      return std::ranges::find(groups, key, &discovery::ProcessGroup::key) == groups.end();
    });
  }
  auto target = discovery::resolve_target(groups, request,
                                          options.host.value_or(discovery::local_host_name()));
  if (target) {
    std::erase_if(target->processes, [](const auto& p) { return !p.group.has_value(); });
  }
  return target;
}

// A dump that failed because its process exited meanwhile is no failure of the job: the
// process leaves the round and the next one reports it lost.
void drop_exited(discovery::RunTarget& target, std::vector<RunRecord>& records) {
  for (size_t i = target.processes.size(); i-- > 0;) {
    if (records[i].status == RunStatus::Success || process_runs(target.processes[i].pid)) {
      continue;
    }
    target.processes.erase(target.processes.begin() + static_cast<std::ptrdiff_t>(i));
    records.erase(records.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

class WatchRun {
 public:
  WatchRun(const Options& options, std::filesystem::path program)
      : options_(options),
        program_(std::move(program)),
        host_(options.host.value_or(discovery::local_host_name())),
        watch_(std::chrono::seconds(options.stuck_after), options.host.value_or("")) {}

  // One round; false when the watch is over (a stop signal, or every target gone).
  std::expected<bool, int> round(bool first) {
    auto groups = snapshot_groups();
    if (!groups) return fail(groups.error());
    auto target = round_target(*groups, options_, first);
    if (!target) return fail(target.error());
    if (first && target->processes.empty() && !options_.targets.all) {
      diagnose("no Python processes to watch");
      return false;
    }
    RunOutcome outcome = run_commands(tasks::build_spy_commands(
        program_, tasks::SpyMode::Dump, target->pids(), false, std::nullopt));
    if (outcome.stopped_by) return false;
    drop_exited(*target, outcome.records);
    auto events = watch_.observe_round(*groups, *target, outcome.records, SteadyClock::now(),
                                       app::WallClock::now());
    for (auto& event : events) report(event);
    progress(fmt::format("{} round {}: {}", app::wall_clock_text(app::WallClock::now()),
                         watch_.rounds(),
                         plural(target->processes.size(), "process", "processes")));
    return options_.targets.all || !target->processes.empty();
  }

 private:
  std::unexpected<int> fail(const std::string& message) {
    diagnose(message);
    return std::unexpected(kExitFailed);
  }

  void report(app::WatchEvent& event) {
    std::optional<app::UnitEvidence> evidence;
    if (event.kind == app::WatchEventKind::Stuck) evidence = keep_evidence(event);
    print(event);
    if (!evidence || event.evidence.empty()) return;
    if (options_.record) record_into(event.evidence, *evidence);
    if (options_.exec && !caught_stop_signal()) {
      run_exec_hook(*options_.exec, event.evidence, evidence->key);
    }
  }

  void print(const app::WatchEvent& event) {
    const std::string line =
        options_.json ? json_line(event_json(event, host_)) : app::watch_event_text(event);
    write_stdout(line + "\n");
  }

  std::optional<app::UnitEvidence> keep_evidence(app::WatchEvent& event) {
    auto evidence = watch_.evidence(event.unit);
    if (!evidence) return std::nullopt;
    const app::EvidenceFiles files = app::evidence_files(*evidence, host_);
    std::error_code error;
    std::filesystem::path parent =
        std::filesystem::absolute(options_.dir, error).lexically_normal();
    if (error) parent = options_.dir;
    auto folder = app::write_evidence(parent, evidence->name, unix_seconds(event.time), files);
    if (!folder) {
      diagnose(folder.error().message());
      return evidence;
    }
    event.evidence = path_text(*folder);
    return evidence;
  }

  // A record of the stuck group into a report folder inside the evidence folder.
  void record_into(const std::string& folder, const app::UnitEvidence& evidence) {
    auto dir =
        report::create_report_dir_in(folder, unix_seconds(app::WallClock::now()), evidence.name);
    if (!dir) {
      diagnose(dir.error().message());
      return;
    }
    std::vector<uint32_t> pids;
    for (const auto& member : evidence.members) pids.push_back(member.pid);
    const RunOutcome outcome = run_commands(tasks::build_spy_commands(
        program_, tasks::SpyMode::Record, pids, false, dir->raw_directory, *options_.record));
    if (auto written = report::write_report(*dir, outcome.records); !written) {
      diagnose("could not write the report in " + path_text(dir->report_directory) + ": " +
               written.error().message());
    }
  }

  const Options& options_;
  std::filesystem::path program_;
  std::string host_;
  app::Watch watch_;
};

// Sleeps until `deadline`; false when a stop signal arrives first.
bool wait_until(SteadyClock::time_point deadline) {
  while (!caught_stop_signal()) {
    const auto left = deadline - SteadyClock::now();
    if (left <= SteadyClock::duration::zero()) return true;
    const auto slice = std::min<SteadyClock::duration>(left, std::chrono::milliseconds(100));
    const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(slice).count();
    const timespec interval{static_cast<time_t>(nanos / 1'000'000'000), nanos % 1'000'000'000};
    nanosleep(&interval, nullptr);
  }
  return false;
}

}  // namespace

int run_watch(const Options& options) {
  auto program = tasks::find_py_spy();
  if (!program) {
    diagnose(tasks::py_spy_not_found_text());
    return kExitFailed;
  }
  const StopSignals signals;
  WatchRun run(options, std::move(*program));
  auto next = SteadyClock::now();
  for (bool first = true; !caught_stop_signal(); first = false) {
    auto more = run.round(first);
    if (!more) return more.error();
    if (!*more) break;
    next = std::max(next + std::chrono::seconds(options.every), SteadyClock::now());
    if (!wait_until(next)) break;
  }
  return kExitOk;
}

}  // namespace stackpeek::cli
