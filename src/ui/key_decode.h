#pragma once

#include "app/key_event.h"

namespace stackpeek::ui {

/// The key a character read from the terminal stands for in raw mode: CR is Enter, DEL
/// and BS are Backspace, Tab is another key, NUL is Ctrl+Space (' '), the other bytes from
/// 1 to 26 are Ctrl with a letter (LF is Ctrl+J), 28 to 31 are Ctrl with '4' to '7', ESC is
/// Esc; every other character is itself.
app::KeyEvent decode_char(char32_t ch);

}  // namespace stackpeek::ui
