#include "app/screen_watch.h"

#include <fmt/format.h>

#include <filesystem>

#include "app/app.h"
#include "app/runs.h"
#include "app/watch_text.h"
#include "common/util.h"

namespace stackpeek::app {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kStopWait{1000};

void show_tag(App& app, const ScreenWatch& watching) {
  if (const auto unchanged = watching.watch.round_unchanged()) {
    app.unchanged_groups[watching.key] = *unchanged;
  } else {
    app.unchanged_groups.erase(watching.key);
  }
  update_rows(app);
}

void keep_evidence(App& app, ScreenWatch& watching, WatchEvent& event) {
  const auto evidence = watching.watch.evidence(event.unit);
  if (!evidence) return;
  std::error_code error;
  const auto parent = std::filesystem::current_path(error);
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(event.time.time_since_epoch());
  auto folder = write_evidence(error ? "." : parent, evidence->name,
                               static_cast<uint64_t>(std::max<int64_t>(0, seconds.count())),
                               evidence_files(*evidence, watching.target.host));
  if (!folder) {
    app.status = "Watch: " + folder.error().message();
    return;
  }
  event.evidence = path_text(*folder);
  app.reports.push_back(event.evidence);
}

void finish_round(App& app, ScreenWatch& watching, const std::vector<RunRecord>& records) {
  watching.round.reset();
  auto events = watching.watch.observe_round(watching.groups, watching.target, records,
                                             SteadyClock::now(), WallClock::now());
  for (auto& event : events) {
    if (event.kind == WatchEventKind::Stuck) keep_evidence(app, watching, event);
    if (event.kind != WatchEventKind::Started) app.status = watch_event_text(event);
  }
  show_tag(app, watching);
}

std::vector<RunRecord> take_records(tasks::Finished finished) {
  return std::move(finished.records);
}

// The records once the round has finished; the loop keeps GCC 12 at -O3 from a false
// maybe-uninitialized report inside the event variant.
std::optional<std::vector<RunRecord>> finished_records(tasks::RunHandle& round) {
  while (true) {
    auto event = round.try_recv();
    if (!event) return std::nullopt;
    if (std::get_if<tasks::TopFrame>(&*event)) continue;
    return take_records(std::get<tasks::Finished>(std::move(*event)));
  }
}

// A fresh snapshot for every round, so restarted ranks are picked up; false when the group
// is gone.
bool start_round(App& app, ScreenWatch& watching) {
  auto processes = app.services.scan();
  if (!processes) return true;  // try again next round
  watching.groups = discovery::build_groups(*processes);
  discovery::TargetRequest request;
  request.groups = {watching.key};
  auto target = discovery::resolve_target(watching.groups, request, discovery::local_host_name());
  if (!target || target->processes.empty()) return false;
  watching.target = std::move(*target);
  watching.round = tasks::spawn_capture_worker(
      commands_for_target(watching.target, *app.py_spy, SpyMode::Dump, false, std::nullopt));
  return true;
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
  app.watching.emplace(row->group->key);
  app.status =
      fmt::format("Watching {}: a round every {} s, stuck after {} s unchanged", row->group->label,
                  kScreenWatchEvery.count(), kScreenWatchStuckAfter.count());
}

bool step_watch(App& app) {
  if (!app.watching) return false;
  ScreenWatch& watching = *app.watching;
  if (watching.round) {
    if (auto records = finished_records(*watching.round)) {
      finish_round(app, watching, *records);
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
