#include <chrono>

#include "app/actions.h"
#include "app/key_table.h"
#include "app/runs.h"
#include "app/screen.h"

namespace stackpeek::app {
namespace {

using namespace std::chrono_literals;

constexpr int kInputWaitMs = 100;
// A killed `py-spy top` shares our terminal and cannot undo its raw mode, so the
// program's own modes are re-applied for a few passes after a top run ends.
constexpr int kModeResetPasses = 10;

Result<void> suspend_for_sudo(Screen& screen, App& app, const KeyOutcome& outcome) {
  if (auto done = screen.suspend(); !done) return done;
  const RunRecord validation = app.services.sudo_validate();
  if (auto done = screen.resume(); !done) return done;
  resume_after_sudo(app, outcome.mode, outcome.selection, validation);
  return {};
}

bool streaming_top(const App& app) { return app.active_run && app.active_run->cancellable(); }

// What a pass must redraw for: a run going on (its spinner steps every pass) or one that
// ended during the pass.
bool run_changed(const App& app, bool was_running) {
  return was_running || app.mode.is(AppMode::Kind::Running);
}

// Applies a key press; false when it ends the program.
Result<bool> apply_key(Screen& screen, App& app, KeyEvent key) {
  const KeyOutcome outcome = handle_key(app, key);
  switch (outcome.kind) {
    case KeyOutcome::Kind::Quit:
      return false;
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
  return true;
}

// Runs passes until "q"; an error from the screen ends the loop. A pass in which nothing
// happened draws nothing.
Result<void> run_passes(Screen& screen, App& app) {
  int mode_resets = 0;
  bool dirty = true;
  for (;;) {
    const bool was_streaming = streaming_top(app);
    const bool was_running = app.mode.is(AppMode::Kind::Running);
    drain_events(app);
    if (app.mode.is(AppMode::Kind::Running)) ++app.tick;
    if (dirty || run_changed(app, was_running)) {
      if (auto drawn = screen.draw(app); !drawn) return drawn;
    }
    auto key = screen.poll_key(kInputWaitMs);
    if (!key) return std::unexpected(key.error());
    dirty = key->has_value();
    if (*key) {
      auto go_on = apply_key(screen, app, **key);
      if (!go_on) return std::unexpected(go_on.error());
      if (!*go_on) return {};
    }
    if (was_streaming && !streaming_top(app)) mode_resets = kModeResetPasses;
    if (mode_resets > 0) {
      screen.reset_modes();
      --mode_resets;
    }
  }
}

}  // namespace

Result<std::vector<std::string>> run_main_loop(Screen& screen, Services services) {
  App app = make_app(std::move(services));
  Result<void> outcome = run_passes(screen, app);
  // A live top run is stopped before the terminal is given back; dump and record
  // runs are neither stopped nor waited for.
  if (streaming_top(app)) app.active_run->cancel_and_wait(1500ms);
  app.active_run.reset();
  screen.restore();
  if (!outcome) return std::unexpected(outcome.error());
  return std::move(app.reports);
}

}  // namespace stackpeek::app
