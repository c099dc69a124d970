#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>

#include "app/actions.h"
#include "app/key_table.h"
#include "app/runs.h"
#include "app/screen_watch.h"
#include "app/screen.h"

namespace stackpeek::app {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;

constexpr int kInputWaitMs = 100;
// A killed `py-spy top` shares our terminal and cannot undo its raw mode, so the
// program's own modes are re-applied for a few passes after a top run ends.
constexpr int kModeResetPasses = 10;
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

// What a pass must redraw for: a run going on (its spinner steps every pass) or one that
// ended during the pass.
bool run_changed(const App& app, bool was_running) {
  return was_running || app.mode.is(AppMode::Kind::Running);
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
  const int limit = screen.output_scroll_limit(app);
  if (app.output_scroll > limit) app.output_scroll = static_cast<uint16_t>(limit);
  return false;
}

// Runs passes until "q" (and the run it cancelled has completed); an error from the
// screen ends the loop. A pass in which nothing happened draws nothing.
Result<void> run_passes(Screen& screen, App& app) {
  int mode_resets = 0;
  Deadline quit_by;
  bool dirty = true;
  for (;;) {
    const bool was_streaming = streaming_top(app);
    const bool was_running = app.mode.is(AppMode::Kind::Running);
    drain_events(app);
    if (step_watch(app)) dirty = true;
    if (quit_by && (!app.active_run || Clock::now() >= *quit_by)) return {};
    if (app.mode.is(AppMode::Kind::Running)) ++app.tick;
    if (dirty || run_changed(app, was_running)) {
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
    if (was_streaming && !streaming_top(app)) mode_resets = kModeResetPasses;
    if (mode_resets > 0) {
      screen.reset_modes();
      --mode_resets;
    }
  }
}

// A live top shares the terminal, so it is stopped before the terminal is given back. A
// run the loop left without cancelling (an error) is stopped too. A run that "q" cancelled
// has had its grace, or a second "q" cut it short: whatever of it still runs is killed, so
// no py-spy outlives the program.
void stop_active_run(App& app) {
  if (!app.active_run) return;
  if (app.active_run->live_top()) {
    app.active_run->cancel_and_wait(kTopStopWait);
  } else if (!app.active_run->cancel_requested()) {
    app.active_run->cancel_and_wait(kQuitGrace);
  } else {
    app.active_run->kill_and_wait(kKillWait);
  }
  app.active_run.reset();
}

}  // namespace

Result<std::vector<std::string>> run_main_loop(Screen& screen, Services services) {
  App app = make_app(std::move(services));
  Result<void> outcome = run_passes(screen, app);
  stop_watch(app, kKillWait);
  stop_active_run(app);
  screen.restore();
  if (!outcome) return std::unexpected(outcome.error());
  return std::move(app.reports);
}

}  // namespace stackpeek::app
