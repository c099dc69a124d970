#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "app/app.h"
#include "app/key_event.h"

namespace stackpeek::app {

/// The result of one key press.
struct KeyOutcome {
  enum class Kind { Continue, Quit, SudoRequest, Suspend, Repaint };
  Kind kind = Kind::Continue;
  Selection selection;  // SudoRequest only
  SpyMode mode = SpyMode::Dump;

  static KeyOutcome next() { return {}; }
  static KeyOutcome quit() { return {Kind::Quit, {}, SpyMode::Dump}; }
};

/// What a key does to the application.
using KeyAction = KeyOutcome (*)(App& app);

/// Where in a mode a binding applies: always, with the process list in view, or while the
/// output pane is zoomed (a reading mode: the keys move the text, never the hidden list).
enum class View { Any, List, Zoomed };

/// One entry of the key table: in one mode, the key presses that run one action. The
/// browse keys carry the texts of --help, the manual page and the footer.
struct KeyBinding {
  AppMode::Kind mode = AppMode::Kind::Browse;
  std::string_view keys;  // as --help and the manual page name them: "j/k, arrows"
  std::string_view help;  // the --help description; empty for keys --help does not list
  std::string_view hint;  // the footer hint; empty for keys the footer does not show
  std::vector<KeyEvent> presses;
  KeyAction action = nullptr;
  View view = View::Any;
};

/// Every key the program answers to, mode by mode, in the order --help lists them.
const std::vector<KeyBinding>& key_table();

/// The key list of --help: one line per described key, the keys padded to 12 columns.
std::string key_help_text();

/// How much of the key hints the footer has room for.
enum class HintForm { Full, Keys };

/// The footer's key hints for `mode` (the browse hints for a mode without its own): in full
/// joined by " | ", or only the keys joined by spaces. While `zoomed` they are the hints of
/// the zoomed view, when the mode has such hints.
std::string key_hints(AppMode::Kind mode, HintForm form = HintForm::Full, bool zoomed = false);

/// Applies one key press to the application in its current mode and view; keys without a
/// binding there do nothing.
KeyOutcome handle_key(App& app, KeyEvent key);

}  // namespace stackpeek::app
