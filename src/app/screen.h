#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/app.h"
#include "app/key_event.h"
#include "common/error.h"

namespace stackpeek::app {

/// What the main loop needs of the terminal; the ui layer implements it over curses.
class Screen {
 public:
  virtual ~Screen() = default;
  /// Draws one complete frame of `app`.
  virtual Result<void> draw(const App& app) = 0;
  /// Waits up to `timeout_ms` for a key press or a resize; nothing on time-out or other
  /// events, and nothing for keys other than "q" while the screen is too small to use.
  virtual Result<std::optional<KeyEvent>> poll_key(int timeout_ms) = 0;
  /// Hands the ordinary terminal to another program (sudo).
  virtual Result<void> suspend() = 0;
  /// Takes the full screen back; the next frame repaints every cell.
  virtual Result<void> resume() = 0;
  /// Stops the program as Ctrl+Z does in a shell, with the ordinary terminal given back;
  /// when continued ("fg") takes the full screen back and repaints every cell.
  virtual Result<void> stop_job() = 0;
  /// The output pane's text area at the current size, and how far it scrolls.
  virtual OutputView output_view(const App& app) const = 0;
  /// The inner size of the output pane while a live top streams, at the current size.
  virtual tasks::WindowSize top_pane_size(const App& app) const = 0;
  /// Makes the next frame repaint every cell.
  virtual void repaint() = 0;
  /// Gives the terminal back as it was found. Safe to call more than once.
  virtual void restore() = 0;
};

/// How the interface ended: the report folders written during the session, also when an
/// error (such as a lost terminal) ended it.
struct LoopOutcome {
  std::vector<std::string> reports;
  std::optional<Error> error;
};

/// Runs the interface until "q" or an error.
LoopOutcome run_main_loop(Screen& screen, Services services);

}  // namespace stackpeek::app
