#include "app/key_table.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "app/actions.h"
#include "app/screen_watch.h"

namespace stackpeek::app {
namespace {

constexpr int kPageStep = 5;

using Code = KeyEvent::Code;
using Mode = AppMode::Kind;

KeyEvent ch(char32_t c) { return KeyEvent::character(c); }
KeyEvent key(Code code) { return KeyEvent::of(code); }
KeyEvent ctrl(char32_t letter) { return KeyEvent::ctrl(letter); }

template <void (*Action)(App&)>
KeyOutcome then_continue(App& app) {
  Action(app);
  return KeyOutcome::next();
}

template <SpyMode Mode>
KeyOutcome request(App& app) {
  request_run(app, Mode);
  return KeyOutcome::next();
}

template <int Delta>
KeyOutcome move(App& app) {
  move_selection(app, Delta);
  return KeyOutcome::next();
}

template <int Delta>
KeyOutcome scroll(App& app) {
  scroll_output(app, Delta);
  return KeyOutcome::next();
}

KeyOutcome quit(App&) { return KeyOutcome::quit(); }
KeyOutcome suspend(App&) { return {KeyOutcome::Kind::Suspend, {}, SpyMode::Dump}; }
KeyOutcome repaint(App&) { return {KeyOutcome::Kind::Repaint, {}, SpyMode::Dump}; }

// Enter in the prompt hands the pending request to the main loop, which runs "sudo -v".
KeyOutcome accept_sudo(App& app) {
  return {KeyOutcome::Kind::SudoRequest, app.mode.pending_selection, app.mode.pending_mode};
}

std::vector<KeyBinding> make_table() {
  return {
      {Mode::Browse, "Enter", "Record selected process/group for 30 seconds", "Enter record",
       {key(Code::Enter)}, request<SpyMode::Record>},
      {Mode::Browse, "d", "Dump selected process/group", "d dump", {ch('d')},
       request<SpyMode::Dump>},
      {Mode::Browse, "t", "Live py-spy top for selected PID", "t top", {ch('t')},
       request<SpyMode::Top>},
      {Mode::Browse, "w", "Watch selected group for a hang (again: stop)", "", {ch('w')},
       then_continue<toggle_watch>},
      {Mode::Browse, "r", "Refresh process groups", "r refresh", {ch('r')},
       then_continue<refresh>},
      {Mode::Browse, "Space", "Expand/collapse group", "Space expand", {ch(' ')},
       then_continue<toggle_group>},
      {Mode::Browse, "j/k, arrows", "Move selection", "j/k move", {ch('j'), key(Code::Down)},
       move<1>},
      {Mode::Browse, "j/k, arrows", "", "", {ch('k'), key(Code::Up)}, move<-1>},
      {Mode::Browse, "Home/End", "First/last row (also g/G)", "", {key(Code::Home), ch('g')},
       then_continue<select_first>},
      {Mode::Browse, "Home/End", "", "", {key(Code::End), ch('G')},
       then_continue<select_last>},
      {Mode::Browse, "PageUp/Down", "Scroll output", "PgUp/PgDn output", {key(Code::PageUp)},
       scroll<-kPageStep>},
      {Mode::Browse, "PageUp/Down", "", "", {key(Code::PageDown)}, scroll<kPageStep>},
      {Mode::Browse, "o", "Zoom output pane in/out", "o zoom", {ch('o')},
       then_continue<toggle_zoom>},
      {Mode::Browse, "/", "Filter the list (Enter keeps, Esc clears)", "/ filter", {ch('/')},
       then_continue<start_filter>},
      {Mode::Browse, "Esc", "", "", {key(Code::Esc)}, then_continue<clear_filter>},
      {Mode::Browse, "q", "Quit", "q quit", {ch('q')}, quit},
      {Mode::Browse, "Ctrl+C", "Quit; cancels an active run", "", {ctrl('c')}, quit},
      {Mode::Browse, "Ctrl+Z", "Suspend (fg resumes)", "", {ctrl('z')}, suspend},
      {Mode::Browse, "Ctrl+L", "Repaint the screen", "", {ctrl('l')}, repaint},

      {Mode::Permission, "Enter", "", "", {key(Code::Enter)}, accept_sudo},
      {Mode::Permission, "n", "", "", {ch('n')}, then_continue<run_without_sudo>},
      {Mode::Permission, "Esc", "", "", {key(Code::Esc), ch('c')}, then_continue<cancel_prompt>},
      {Mode::Permission, "q", "", "", {ch('q')}, quit},
      {Mode::Permission, "Ctrl+C", "", "", {ctrl('c')}, then_continue<cancel_prompt>},
      {Mode::Permission, "Ctrl+Z", "", "", {ctrl('z')}, suspend},
      {Mode::Permission, "Ctrl+L", "", "", {ctrl('l')}, repaint},

      {Mode::Running, "Esc", "", "Esc cancel", {key(Code::Esc), ch('c')},
       then_continue<cancel_run>},
      {Mode::Running, "q", "", "q quit", {ch('q')}, quit},
      {Mode::Running, "Ctrl+C", "", "", {ctrl('c')}, then_continue<cancel_run>},
      {Mode::Running, "o", "", "", {ch('o')}, then_continue<toggle_zoom>},
      {Mode::Running, "Ctrl+Z", "", "", {ctrl('z')}, suspend},
      {Mode::Running, "Ctrl+L", "", "", {ctrl('l')}, repaint},
  };
}

}  // namespace

const std::vector<KeyBinding>& key_table() {
  static const std::vector<KeyBinding> table = make_table();
  return table;
}

std::string key_help_text() {
  std::string text;
  for (const KeyBinding& binding : key_table()) {
    if (!binding.help.empty()) text += fmt::format("{:<12}{}\n", binding.keys, binding.help);
  }
  return text;
}

std::string key_hints(AppMode::Kind mode, HintForm form) {
  std::vector<std::string_view> shown;
  for (const KeyBinding& binding : key_table()) {
    if (binding.mode != mode || binding.hint.empty()) continue;
    shown.push_back(form == HintForm::Full ? binding.hint
                                           : binding.hint.substr(0, binding.hint.find(' ')));
  }
  if (shown.empty() && mode != Mode::Browse) return key_hints(Mode::Browse, form);
  return fmt::format("{}", fmt::join(shown, form == HintForm::Full ? " | " : " "));
}

KeyOutcome handle_key(App& app, KeyEvent key) {
  // The filter prompt takes typed text; Ctrl keys keep their meaning.
  if (app.filter_editing && app.mode.is(Mode::Browse) && key.code != Code::Ctrl) {
    edit_filter(app, key);
    return KeyOutcome::next();
  }
  for (const KeyBinding& binding : key_table()) {
    if (binding.mode != app.mode.kind) continue;
    for (const KeyEvent& press : binding.presses) {
      const bool has_char = key.code == Code::Char || key.code == Code::Ctrl;
      if (press.code == key.code && (!has_char || press.ch == key.ch)) {
        return binding.action(app);
      }
    }
  }
  return KeyOutcome::next();
}

}  // namespace stackpeek::app
