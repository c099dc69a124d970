#include "app/screen_watch.h"

#include <fmt/format.h>

#include <filesystem>

#include "app/app.h"
#include "app/runs.h"
#include "common/util.h"
#include "workflow/watch_text.h"

namespace stackpeek::app {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kStopWait{1000};

void show_tag(App& app, const ScreenWatch& watching) {
  if (const auto unchanged = watching.rounds.watch().round_unchanged()) {
    app.unchanged_groups[watching.key] = *unchanged;
  } else {
    app.unchanged_groups.erase(watching.key);
  }
  update_rows(app);
}

void finish_round(App& app, ScreenWatch& watching, std::vector<RunRecord> records) {
  watching.round.reset();
  const workflow::WatchRoundResult result =
      watching.rounds.finish_round(watching.plan, std::move(records));
  for (const auto& event : result.events) {
    if (event.kind != workflow::WatchEventKind::Started) {
      app.status = workflow::watch_event_text(event);
    }
  }
  for (const auto& stuck : result.stuck) app.reports.push_back(path_text(stuck.folder));
  if (!result.errors.empty()) app.status = "Watch: " + result.errors.back();
  show_tag(app, watching);
}

// A fresh snapshot for every round, so restarted ranks are picked up; false when the group
// is gone.
bool start_round(App& app, ScreenWatch& watching) {
  auto processes = app.services.scan();
  if (!processes) return true;  // try again next round
  discovery::TargetRequest request;
  request.groups = {watching.key};
  auto plan = watching.rounds.plan_round(discovery::build_groups(*processes), request);
  if (!plan || plan->target.processes.empty()) return false;
  watching.plan = std::move(*plan);
  watching.round = tasks::spawn_capture_worker(watching.plan.commands);
  return true;
}

workflow::WatchSettings screen_watch_settings(const std::filesystem::path& program) {
  std::error_code error;
  std::filesystem::path parent = std::filesystem::current_path(error);
  return workflow::WatchSettings{.stuck_after = kScreenWatchStuckAfter,
                                 .host = discovery::local_host_name(),
                                 .compare_host = {},
                                 .evidence_parent = error ? "." : std::move(parent),
                                 .program = program};
}

}  // namespace

void toggle_watch(App& app) {
  if (app.watching) {
    stop_watch(app, kStopWait);
    app.status = "Stopped watching";
    return;
  }
  const auto row = selected_row(app);
  if (!row) return;
  if (!app.py_spy) {
    auto found = app.services.find_py_spy();
    if (!found) {
      app.status = tasks::py_spy_not_found_text();
      return;
    }
    app.py_spy = std::move(*found);
  }
  app.watching.emplace(row->group->key, screen_watch_settings(*app.py_spy));
  app.status =
      fmt::format("Watching {}: a round every {} s, stuck after {} s unchanged", row->group->label,
                  kScreenWatchEvery.count(), kScreenWatchStuckAfter.count());
}

bool step_watch(App& app) {
  if (!app.watching) return false;
  ScreenWatch& watching = *app.watching;
  if (watching.round) {
    if (auto finished = tasks::finished_records(*watching.round)) {
      finish_round(app, watching, std::move(finished->records));
      return true;
    }
    if (watching.round->closed()) watching.round.reset();
    return false;
  }
  if (SteadyClock::now() < watching.next_round) return false;
  watching.next_round = SteadyClock::now() + kScreenWatchEvery;
  if (start_round(app, watching)) return false;
  app.status = "Stopped watching: the group is gone";
  app.unchanged_groups.erase(watching.key);
  app.watching.reset();
  update_rows(app);
  return true;
}

void stop_watch(App& app, std::chrono::milliseconds wait) {
  if (!app.watching) return;
  if (app.watching->round) app.watching->round->cancel_and_wait(wait);
  app.watching.reset();
}

}  // namespace stackpeek::app
