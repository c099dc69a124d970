#pragma once

namespace stackpeek::app {

/// A decoded key press: only the key code counts (Ctrl+C arrives as 'c').
struct KeyEvent {
  enum class Code { Char, Enter, Esc, Up, Down, PageUp, PageDown, Other };
  Code code = Code::Other;
  char32_t ch = 0;  // for Char

  static KeyEvent character(char32_t c) { return {Code::Char, c}; }
  static KeyEvent of(Code code) { return {code, 0}; }
};

}  // namespace stackpeek::app
