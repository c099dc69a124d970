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

// Runs passes until "q"; an error from the screen ends the loop.
Result<void> run_passes(Screen& screen, App& app) {
  int mode_resets = 0;
  for (;;) {
    const bool was_streaming = streaming_top(app);
    drain_events(app);
    if (app.mode.is(AppMode::Kind::Running)) ++app.tick;
    if (auto drawn = screen.draw(app); !drawn) return drawn;
    auto key = screen.poll_key(kInputWaitMs);
    if (!key) return std::unexpected(key.error());
    if (*key) {
      const KeyOutcome outcome = handle_key(app, **key);
      if (outcome.kind == KeyOutcome::Kind::Quit) return {};
      if (outcome.kind == KeyOutcome::Kind::SudoRequest) {
        if (auto done = suspend_for_sudo(screen, app, outcome); !done) return done;
      }
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
