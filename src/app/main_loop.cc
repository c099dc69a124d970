#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>

#include "app/actions.h"
#include "app/key_table.h"
#include "app/runs.h"
#include "app/screen.h"
#include "app/screen_watch.h"

namespace stackpeek::app {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;

constexpr int kInputWaitMs = 100;
// "q" during a dump or record run stops its commands and waits this long at most for the
// run to complete, so that a record run's report is written and listed.
constexpr auto kQuitGrace = 3s;
constexpr auto kTopStopWait = 1500ms;
// Long enough for sudo to relay SIGTERM before its own SIGKILL.
constexpr auto kKillWait = 1s;

Result<void> suspend_for_sudo(Screen& screen, App& app, const KeyOutcome& outcome) {
  if (auto done = screen.suspend(); !done) return done;
  const RunRecord validation = app.services.sudo_validate();
  if (auto done = screen.resume(); !done) return done;
  resume_after_sudo(app, outcome.mode, outcome.selection, validation);
  return {};
}

bool streaming_top(const App& app) { return app.active_run && app.active_run->live_top(); }

bool capturing(const App& app) { return app.active_run && !app.active_run->live_top(); }

// The input wait of one pass: never past the end of a quit's grace.
int input_wait_ms(const Deadline& quit_by) {
  if (!quit_by) return kInputWaitMs;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*quit_by - Clock::now());
  return static_cast<int>(std::clamp<int64_t>(left.count(), 0, kInputWaitMs));
}

// Steps the spinner of an active run: every pass, or once a second during a record run,
// whose footer counts its seconds down and so redraws no more often than that. True when
// the step changed what the frame shows.
bool step_run_clock(App& app) {
  if (!app.mode.is(AppMode::Kind::Running)) return false;
  const auto elapsed =
      std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - app.run_started).count();
  const auto seconds = static_cast<uint32_t>(std::max<int64_t>(elapsed, 0));
  const bool new_second = seconds != app.run_seconds;
  app.run_seconds = seconds;
  if (app.active_mode == SpyMode::Record && !new_second) return false;
  ++app.tick;
  return true;
}

// Keeps the output pane's view as the screen now lays it out, and the scroll within it.
void fit_output_scroll(const Screen& screen, App& app) {
  app.output_view = screen.output_view(app);
  const int limit = app.output_view.scroll_limit;
  if (app.output_scroll > limit) app.output_scroll = static_cast<uint16_t>(std::max(limit, 0));
}

// A first "q" during a dump or record run cancels it and sets `quit_by`; a second one, or
// "q" with no such run, ends the loop.
bool quit_requested(App& app, Deadline& quit_by) {
  if (quit_by || !capturing(app)) return true;
  cancel_run(app);
  quit_by = Clock::now() + kQuitGrace;
  return false;
}

// Applies one key press; true when the loop should end.
Result<bool> apply_key(Screen& screen, App& app, KeyEvent key, Deadline& quit_by) {
  app.output_view = screen.output_view(app);
  const KeyOutcome outcome = handle_key(app, key);
  switch (outcome.kind) {
    case KeyOutcome::Kind::Quit:
      return quit_requested(app, quit_by);
    case KeyOutcome::Kind::SudoRequest:
      if (auto done = suspend_for_sudo(screen, app, outcome); !done)
        return std::unexpected(done.error());
      break;
    case KeyOutcome::Kind::Suspend:
      if (auto done = screen.stop_job(); !done) return std::unexpected(done.error());
      break;
    case KeyOutcome::Kind::Repaint:
      screen.repaint();
      break;
    case KeyOutcome::Kind::Continue:
      break;
  }
  fit_output_scroll(screen, app);
  return false;
}

// A live top draws for the output pane's inner size, whatever changed it (a resize, the
// zoom, another run's end).
void follow_pane_size(const Screen& screen, App& app) {
  app.top_pane = screen.top_pane_size(app);
  if (streaming_top(app)) app.active_run->resize(app.top_pane);
}

// Runs passes until "q" (and the run it cancelled has completed); an error from the
// screen ends the loop. A pass in which nothing happened draws nothing.
Result<void> run_passes(Screen& screen, App& app) {
  Deadline quit_by;
  bool dirty = true;
  for (;;) {
    follow_pane_size(screen, app);
    const bool was_running = app.mode.is(AppMode::Kind::Running);
    drain_events(app);
    if (step_watch(app)) dirty = true;
    if (quit_by && (!app.active_run || Clock::now() >= *quit_by)) return {};
    const bool run_ended = was_running && !app.mode.is(AppMode::Kind::Running);
    // A live top's frames may arrive in any pass.
    const bool stepped = step_run_clock(app) || streaming_top(app);
    if (run_ended) fit_output_scroll(screen, app);
    if (dirty || run_ended || stepped) {
      if (auto drawn = screen.draw(app); !drawn) return drawn;
    }
    auto key = screen.poll_key(input_wait_ms(quit_by));
    if (!key) return std::unexpected(key.error());
    dirty = key->has_value();
    if (*key) {
      auto leave = apply_key(screen, app, **key, quit_by);
      if (!leave) return std::unexpected(leave.error());
      if (*leave) return {};
    }
  }
}

// A live top shares the terminal, so it is stopped before the terminal is given back. A
// run the loop left without cancelling (an error) is stopped too. A run that "q" cancelled
// has had its grace, or a second "q" cut it short: whatever of it still runs is killed, so
// no py-spy outlives the program. Then the run completes as any other, so that a record
// run's report is written and listed whatever ended the loop.
void stop_active_run(App& app) {
  if (!app.active_run) return;
  if (app.active_run->live_top()) {
    app.active_run->cancel_and_wait(kTopStopWait);
  } else if (!app.active_run->cancel_requested()) {
    app.active_run->cancel_and_wait(kQuitGrace);
  } else {
    app.active_run->kill_and_wait(kKillWait);
  }
  finish_after_loop(app);
  app.active_run.reset();
}

}  // namespace

LoopOutcome run_main_loop(Screen& screen, Services services) {
  App app = make_app(std::move(services));
  Result<void> outcome = run_passes(screen, app);
  stop_watch(app, kKillWait);
  stop_active_run(app);
  screen.restore();
  LoopOutcome out{std::move(app.reports), std::nullopt};
  if (!outcome) out.error = std::move(outcome.error());
  return out;
}

}  // namespace stackpeek::app
