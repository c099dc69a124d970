#pragma once

#include <array>
#include <optional>

#include "app/key_event.h"
#include "common/error.h"
#include "ui/buffer.h"

struct screen;  // curses' SCREEN, kept out of this header

namespace stackpeek::ui {

/// The full-screen terminal: raw mode, the alternate screen and key input. The only
/// code that talks to curses. Destroying it gives the terminal back.
class Terminal {
 public:
  /// Takes over standard input and output; fails (leaving them as they were) when they
  /// are not a terminal or the terminal cannot move the cursor. An unset or unknown TERM
  /// falls back to xterm-256color, then xterm. SIGTERM, SIGHUP and SIGINT are
  /// caught from then on and arrive as a "q" key.
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
  /// Leaves the full screen and stops the process group (SIGTSTP, as Ctrl+Z in a shell
  /// would); once continued takes the full screen back, repainting everything.
  Result<void> stop_job();
  /// Makes the next draw repaint every cell.
  void repaint();
  /// Gives the terminal back now (ordinary screen, cursor shown); also done by the
  /// destructor. Safe to call more than once.
  void restore();

 private:
  Terminal() = default;
  void set_up_colors();
  short color_pair(Style style);
  int put_cell(const Buffer& buffer, Rect area, int x, int y);

  bool active_ = false;
  ::screen* screen_ = nullptr;
  bool colors_ = false;          // false with NO_COLOR or a terminal without colours
  bool default_colors_ = false;  // the terminal's own colours can be used as "Default"
  std::array<short, 81> pairs_{};
  short next_pair_ = 1;
};

}  // namespace stackpeek::ui
