#include "app/key_table.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <set>

#include "app/actions.h"
#include "app/screen_watch.h"
#include "common/defaults.h"

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

template <int Direction>
KeyOutcome page(App& app) {
  page_output(app, Direction);
  return KeyOutcome::next();
}

KeyOutcome to_first_line(App& app) {
  scroll_output_to_first(app);
  return KeyOutcome::next();
}

KeyOutcome to_last_line(App& app) {
  scroll_output_to_last(app);
  return KeyOutcome::next();
}

KeyOutcome quit(App&) { return KeyOutcome::quit(); }
KeyOutcome suspend(App&) { return {KeyOutcome::Kind::Suspend, {}, SpyMode::Dump}; }
KeyOutcome repaint(App&) { return {KeyOutcome::Kind::Repaint, {}, SpyMode::Dump}; }

// Enter in the prompt hands the pending request to the main loop, which runs "sudo -v".
KeyOutcome accept_sudo(App& app) {
  return {KeyOutcome::Kind::SudoRequest, app.mode.pending_selection, app.mode.pending_mode};
}

// `binding` for one view only.
KeyBinding in_view(View view, KeyBinding binding) {
  binding.view = view;
  return binding;
}

// The reading keys of the zoomed output pane in `mode`; with their help and hints in browse
// mode only, where nothing else competes for the footer.
std::vector<KeyBinding> zoomed_reading_keys(Mode mode) {
  const auto text = [&](std::string_view browse) {
    return mode == Mode::Browse ? browse : std::string_view();
  };
  std::vector<KeyBinding> keys = {
      {mode,
       "j/k, arrows",
       text("Zoomed: scroll the output a line"),
       text("j/k scroll"),
       {ch('j'), key(Code::Down)},
       scroll<1>},
      {mode, "j/k, arrows", "", "", {ch('k'), key(Code::Up)}, scroll<-1>},
      {mode,
       "PageUp/Down",
       text("Zoomed: scroll a page"),
       text("PgUp/PgDn page"),
       {key(Code::PageDown)},
       page<1>},
      {mode, "PageUp/Down", "", "", {key(Code::PageUp)}, page<-1>},
      {mode,
       "Home/End",
       text("Zoomed: first/last line (also g/G)"),
       text("g/G ends"),
       {key(Code::Home), ch('g')},
       to_first_line},
      {mode, "Home/End", "", "", {key(Code::End), ch('G')}, to_last_line},
  };
  for (KeyBinding& binding : keys) binding.view = View::Zoomed;
  return keys;
}

// The browse keys that act on the list, or scroll the output pane by its fixed step: they
// apply only while the list is in view.
bool list_key(const KeyBinding& binding) {
  static const std::set<KeyAction> actions = {then_continue<toggle_group>,
                                              move<1>,
                                              move<-1>,
                                              then_continue<select_first>,
                                              then_continue<select_last>,
                                              scroll<-kPageStep>,
                                              scroll<kPageStep>,
                                              then_continue<toggle_zoom>,
                                              then_continue<start_filter>,
                                              then_continue<clear_filter>};
  return binding.mode == Mode::Browse && actions.contains(binding.action);
}

// "Record selected process/group for 30 seconds", with the default's seconds.
std::string_view record_help() {
  static const std::string text =
      fmt::format("Record selected process/group for {} seconds", kDefaults.record_seconds);
  return text;
}

std::vector<KeyBinding> make_table() {
  return {
      {Mode::Browse,
       "Enter",
       record_help(),
       "Enter record",
       {key(Code::Enter)},
       request<SpyMode::Record>},
      {Mode::Browse,
       "d",
       "Dump selected process/group",
       "d dump",
       {ch('d')},
       request<SpyMode::Dump>},
      {Mode::Browse,
       "t",
       "Live py-spy top for selected PID",
       "t top",
       {ch('t')},
       request<SpyMode::Top>},
      {Mode::Browse,
       "w",
       "Watch selected group for a hang (again: stop)",
       "w watch",
       {ch('w')},
       then_continue<toggle_watch>},
      {Mode::Browse, "r", "Refresh process groups", "r refresh", {ch('r')}, then_continue<refresh>},
      {Mode::Browse,
       "Space",
       "Expand/collapse group",
       "Space expand",
       {ch(' ')},
       then_continue<toggle_group>},
      {Mode::Browse,
       "j/k, arrows",
       "Move selection",
       "j/k move",
       {ch('j'), key(Code::Down)},
       move<1>},
      {Mode::Browse, "j/k, arrows", "", "", {ch('k'), key(Code::Up)}, move<-1>},
      {Mode::Browse,
       "Home/End",
       "First/last row (also g/G)",
       "",
       {key(Code::Home), ch('g')},
       then_continue<select_first>},
      {Mode::Browse, "Home/End", "", "", {key(Code::End), ch('G')}, then_continue<select_last>},
      {Mode::Browse,
       "PageUp/Down",
       "Scroll output",
       "PgUp/Dn output",
       {key(Code::PageUp)},
       scroll<-kPageStep>},
      {Mode::Browse, "PageUp/Down", "", "", {key(Code::PageDown)}, scroll<kPageStep>},
      {Mode::Browse,
       "o",
       "Zoom output pane in/out",
       "o zoom",
       {ch('o')},
       then_continue<toggle_zoom>},
      {Mode::Browse,
       "/",
       "Filter the list (Enter keeps; Esc restores, then clears)",
       "/ filter",
       {ch('/')},
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

      {Mode::Running,
       "Esc",
       "",
       "Esc cancel",
       {key(Code::Esc), ch('c')},
       then_continue<cancel_run>},
      {Mode::Running, "q", "", "q quit", {ch('q')}, quit},
      {Mode::Running, "Ctrl+C", "", "", {ctrl('c')}, then_continue<cancel_run>},
      {Mode::Running, "o", "", "", {ch('o')}, then_continue<toggle_zoom>},
      {Mode::Running, "Ctrl+Z", "", "", {ctrl('z')}, suspend},
      {Mode::Running, "Ctrl+L", "", "", {ctrl('l')}, repaint},
  };
}

// The table with its views: the list keys for the list only, and the zoomed pane's keys,
// in browse mode listed after the zoom key.
std::vector<KeyBinding> with_views(std::vector<KeyBinding> table) {
  for (KeyBinding& binding : table) {
    if (list_key(binding)) binding.view = View::List;
  }
  const auto zoom = std::ranges::find_if(table, [](const KeyBinding& binding) {
    return binding.mode == Mode::Browse && binding.keys == "o";
  });
  auto reading = zoomed_reading_keys(Mode::Browse);
  table.insert(zoom == table.end() ? zoom : zoom + 1, reading.begin(), reading.end());
  reading = zoomed_reading_keys(Mode::Running);
  table.insert(table.end(), reading.begin(), reading.end());
  // Running, "o" leaves the zoom in every view and Esc cancels the run.
  table.push_back(in_view(
      View::Zoomed,
      {Mode::Browse, "o", "", "o back", {ch('o'), key(Code::Esc)}, then_continue<toggle_zoom>}));
  return table;
}

bool applies(const KeyBinding& binding, const App& app) {
  if (binding.mode != app.mode.kind) return false;
  return binding.view == View::Any || (binding.view == View::Zoomed) == app.output_zoomed;
}

}  // namespace

const std::vector<KeyBinding>& key_table() {
  static const std::vector<KeyBinding> table = with_views(make_table());
  return table;
}

std::string key_help_text() {
  std::string text;
  for (const KeyBinding& binding : key_table()) {
    if (!binding.help.empty()) text += fmt::format("{:<12}{}\n", binding.keys, binding.help);
  }
  return text;
}

std::string key_hints(AppMode::Kind mode, HintForm form, bool zoomed) {
  // Zoomed, a mode shows the hints of its zoomed view, else those of every view.
  const auto collect = [&](bool zoomed_only) {
    std::vector<std::string_view> shown;
    for (const KeyBinding& binding : key_table()) {
      if (binding.mode != mode || binding.hint.empty()) continue;
      if (zoomed_only ? binding.view != View::Zoomed : binding.view == View::Zoomed) continue;
      shown.push_back(form == HintForm::Full ? binding.hint
                                             : binding.hint.substr(0, binding.hint.find(' ')));
    }
    return shown;
  };
  std::vector<std::string_view> shown = collect(zoomed);
  if (shown.empty() && zoomed) shown = collect(false);
  if (shown.empty() && mode != Mode::Browse) return key_hints(Mode::Browse, form, zoomed);
  return fmt::format("{}", fmt::join(shown, form == HintForm::Full ? " | " : " "));
}

KeyOutcome handle_key(App& app, KeyEvent key) {
  // The filter prompt takes typed text; Ctrl keys keep their meaning, except that Ctrl+C
  // cancels the typing only.
  const bool typed = key.code != Code::Ctrl || key.ch == U'c';
  if (app.filter_editing && app.mode.is(Mode::Browse) && typed) {
    edit_filter(app, key);
    return KeyOutcome::next();
  }
  for (const KeyBinding& binding : key_table()) {
    if (!applies(binding, app)) continue;
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
