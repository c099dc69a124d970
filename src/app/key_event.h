#pragma once

namespace stackpeek::app {

/// A decoded input event: a key press, Ctrl with a letter, or a change of the terminal's size.
struct KeyEvent {
  enum class Code {
    Char,
    Ctrl,  // Ctrl with the letter in `ch` ('a' to 'z')
    Enter,
    Esc,
    Up,
    Down,
    PageUp,
    PageDown,
    Home,
    End,
    Backspace,
    Resize,
    Other
  };
  Code code = Code::Other;
  char32_t ch = 0;  // for Char and Ctrl

  static KeyEvent character(char32_t c) { return {Code::Char, c}; }
  static KeyEvent ctrl(char32_t letter) { return {Code::Ctrl, letter}; }
  static KeyEvent of(Code code) { return {code, 0}; }
};

}  // namespace stackpeek::app
