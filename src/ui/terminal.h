#pragma once

#include <optional>

#include "app/keys.h"
#include "common/error.h"
#include "ui/buffer.h"

namespace stackpeek::ui {

/// The full-screen terminal: raw mode, the alternate screen and key input. The only
/// code that talks to curses. Destroying it gives the terminal back.
class Terminal {
 public:
  /// Takes over standard input and output; fails (leaving them as they were) when they
  /// are not a terminal or the terminal type is unknown.
  static Result<Terminal> open();

  Terminal(Terminal&& other) noexcept;
  Terminal& operator=(Terminal&&) = delete;
  ~Terminal();

  /// The current screen size, as an area at (0, 0).
  Rect size() const;
  /// Copies the buffer to the screen, writing only cells that changed.
  Result<void> draw(const Buffer& buffer);
  /// Waits up to `timeout_ms` for a key; nothing on time-out or for non-key events.
  Result<std::optional<app::KeyEvent>> poll_key(int timeout_ms);

  /// Leaves the full screen so another program can use the ordinary terminal.
  Result<void> suspend();
  /// Takes the full screen back and repaints everything on the next draw.
  Result<void> resume();
  /// Re-applies the program's terminal modes (after a child changed them).
  void reset_modes();
  /// Gives the terminal back now; also done by the destructor.
  void restore();

 private:
  Terminal() = default;
  bool active_ = false;
};

}  // namespace stackpeek::ui
