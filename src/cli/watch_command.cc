#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>

#include "cli/commands.h"
#include "cli/output.h"
#include "cli/run_commands.h"
#include "cli/snapshot.h"
#include "cli/watch_exec.h"
#include "common/util.h"
#include "workflow/record.h"
#include "workflow/watch.h"
#include "workflow/watch_round.h"
#include "workflow/watch_text.h"

namespace stackpeek::cli {
namespace {

using nlohmann::json;
using SteadyClock = std::chrono::steady_clock;

std::string utc_text(workflow::WallClock::time_point time) {
  const std::time_t seconds = workflow::WallClock::to_time_t(time);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}Z", utc.tm_year + 1900, utc.tm_mon + 1,
                     utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
}

json event_json(const workflow::WatchEvent& event, const std::string& host) {
  json members = json::array();
  for (const auto& member : event.members) {
    members.push_back(
        {{"pid", member.pid}, {"rank", member.rank ? json(*member.rank) : json(nullptr)}});
  }
  return {{"time", utc_text(event.time)},
          {"host", host},
          {"event", workflow::watch_event_name(event.kind)},
          {"group", event.group.value_or(event.unit)},
          {"label", event.label},
          {"members", std::move(members)},
          {"unchanged_s", event.unchanged ? json(event.unchanged->count()) : json(nullptr)},
          {"detail", event.detail},
          {"evidence", event.evidence.empty() ? json(nullptr) : json(event.evidence)}};
}

class WatchRun {
 public:
  WatchRun(const Options& options, std::filesystem::path program)
      : options_(options),
        host_(options.host.value_or(discovery::local_host_name())),
        rounds_(settings(options, host_, std::move(program))) {}

  // One round; false when the watch is over (a stop signal, or every target gone).
  std::expected<bool, int> round(bool first) {
    auto groups = snapshot_groups();
    if (!groups) return fail(groups.error());
    auto plan = rounds_.plan_round(std::move(*groups), options_.targets);
    if (!plan) return fail(plan.error());
    if (first && plan->target.processes.empty() && !options_.targets.all) {
      diagnose("no Python processes to watch");
      return false;
    }
    RunOutcome outcome = run_commands(plan->commands);
    if (outcome.stopped_by) return false;
    workflow::WatchRoundResult result = rounds_.finish_round(*plan, std::move(outcome.records));
    for (const auto& error : result.errors) diagnose(error);
    for (const auto& event : result.events) print(event);
    for (const auto& stuck : result.stuck) act_on(stuck);
    progress(fmt::format("{} round {}: {}", workflow::wall_clock_text(workflow::WallClock::now()),
                         rounds_.watch().rounds(),
                         plural(plan->target.processes.size(), "process", "processes")));
    return options_.targets.all || !plan->target.processes.empty();
  }

 private:
  static workflow::WatchSettings settings(const Options& options, const std::string& host,
                                          std::filesystem::path program) {
    std::error_code error;
    std::filesystem::path parent = std::filesystem::absolute(options.dir, error).lexically_normal();
    if (error) parent = options.dir;
    return workflow::WatchSettings{.stuck_after = std::chrono::seconds(options.stuck_after),
                                   .host = host,
                                   .compare_host = options.host.value_or(""),
                                   .evidence_parent = std::move(parent),
                                   .program = std::move(program)};
  }

  std::unexpected<int> fail(const std::string& message) {
    diagnose(message);
    return std::unexpected(kExitFailed);
  }

  void print(const workflow::WatchEvent& event) {
    const std::string line =
        options_.json ? json_line(event_json(event, host_)) : workflow::watch_event_text(event);
    write_stdout(line + "\n");
  }

  void act_on(const workflow::StuckUnit& stuck) {
    if (options_.record) record_into(stuck);
    if (options_.exec && !caught_stop_signal()) {
      run_exec_hook(*options_.exec, path_text(stuck.folder), stuck.evidence.key);
    }
  }

  // A record of the stuck group into a report folder inside the evidence folder.
  void record_into(const workflow::StuckUnit& stuck) {
    auto plan = workflow::plan_record(rounds_.evidence_record(stuck, *options_.record));
    if (!plan) {
      diagnose("could not create a report folder in " + path_text(stuck.folder) + ": " +
               plan.error().message());
      return;
    }
    RunOutcome outcome = run_commands(plan->commands, plan->final_dumps);
    const workflow::RecordReport report = workflow::finish_record(
        *plan, outcome.records, outcome.stopped_by.has_value(), std::move(outcome.final_dumps));
    if (!report.written) {
      diagnose("could not write the report in " + path_text(plan->dir.report_directory) + ": " +
               report.written.error().message());
    }
  }

  const Options& options_;
  std::string host_;
  workflow::WatchRounds rounds_;
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
