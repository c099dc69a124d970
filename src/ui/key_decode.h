#pragma once

#include "app/key_event.h"

namespace stackpeek::ui {

/// The key a character read from the terminal stands for in raw mode: CR is Enter, LF is Ctrl+J ('j'), Tab and DEL are other keys, NUL is Ctrl+Space
/// (' '), 1 to 26 are Ctrl with a letter (the letter counts), 28 to 31 are Ctrl with '4'
/// to '7', ESC is Esc; every other character is itself.
app::KeyEvent decode_char(char32_t ch);

}  // namespace stackpeek::ui
