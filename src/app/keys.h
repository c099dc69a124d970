#pragma once

#include "app/app.h"

namespace stackpeek::app {

/// A decoded key press: only the key code counts (Ctrl+C arrives as 'c').
struct KeyEvent {
  enum class Code { Char, Enter, Esc, Up, Down, PageUp, PageDown, Other };
  Code code = Code::Other;
  char32_t ch = 0;  // for Char

  static KeyEvent character(char32_t c) { return {Code::Char, c}; }
  static KeyEvent of(Code code) { return {code, 0}; }
};

/// The result of one key press.
struct KeyOutcome {
  enum class Kind { Continue, Quit, SudoRequest };
  Kind kind = Kind::Continue;
  Selection selection;  // SudoRequest only
  SpyMode mode = SpyMode::Dump;

  static KeyOutcome next() { return {}; }
  static KeyOutcome quit() { return {Kind::Quit, {}, SpyMode::Dump}; }
};

/// Applies one key press to the application in its current mode.
KeyOutcome handle_key(App& app, KeyEvent key);

/// The checks before a dump, record or top request; starts it or opens the prompt.
void request_run(App& app, SpyMode mode);

/// Continues the pending request after "sudo -v" ended with `validation`.
void resume_after_sudo(App& app, SpyMode mode, const Selection& selection,
                       const RunRecord& validation);

/// Flips the selected group's expanded flag.
void toggle_group(App& app);

/// Takes a new snapshot and rebuilds the groups; failures go to the status line.
void refresh(App& app);

}  // namespace stackpeek::app
