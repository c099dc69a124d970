#define NCURSES_WIDECHAR 1
#include "ui/terminal.h"

#include <curses.h>
#include <langinfo.h>
#include <term.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ui/key_decode.h"

namespace stackpeek::ui {
namespace {

using app::KeyEvent;

// ncurses needs a UTF-8 locale to draw borders and names; without LANG the program would
// otherwise run in the C locale.
void use_utf8_locale() {
  std::setlocale(LC_ALL, "");
  if (std::strcmp(nl_langinfo(CODESET), "UTF-8") != 0) std::setlocale(LC_CTYPE, "C.UTF-8");
}

// Termination signals end the program like "q", so the terminal is always given back.
volatile std::sig_atomic_t g_signal = 0;
constexpr int kQuitSignals[] = {SIGTERM, SIGHUP, SIGINT};
struct sigaction g_saved[std::size(kQuitSignals)];

extern "C" void note_signal(int signo) { g_signal = signo; }

void catch_quit_signals() {
  struct sigaction action {};
  action.sa_handler = note_signal;
  sigemptyset(&action.sa_mask);
  for (size_t i = 0; i < std::size(kQuitSignals); ++i)
    sigaction(kQuitSignals[i], &action, &g_saved[i]);
}

void release_quit_signals() {
  for (size_t i = 0; i < std::size(kQuitSignals); ++i)
    sigaction(kQuitSignals[i], &g_saved[i], nullptr);
}

constexpr int kSliceMs = 100;  // how soon a termination signal ends a wait

// Arrows and pages with modifiers are extended curses keys named kUP5, kNXT3 and so on;
// the modifiers do not matter, so Shift+Down moves like Down.
KeyEvent decode_modified_key(wint_t key) {
  const char* name = keyname(static_cast<int>(key));
  const std::string_view view = name != nullptr ? name : "";
  if (view.starts_with("kUP")) return KeyEvent::of(KeyEvent::Code::Up);
  if (view.starts_with("kDN")) return KeyEvent::of(KeyEvent::Code::Down);
  if (view.starts_with("kPRV")) return KeyEvent::of(KeyEvent::Code::PageUp);
  if (view.starts_with("kNXT")) return KeyEvent::of(KeyEvent::Code::PageDown);
  if (view.starts_with("kHOM")) return KeyEvent::of(KeyEvent::Code::Home);
  if (view.starts_with("kEND")) return KeyEvent::of(KeyEvent::Code::End);
  return KeyEvent::of(KeyEvent::Code::Other);
}

std::optional<KeyEvent> decode_function_key(wint_t key) {
  switch (key) {
    case KEY_UP:
      return KeyEvent::of(KeyEvent::Code::Up);
    case KEY_DOWN:
      return KeyEvent::of(KeyEvent::Code::Down);
    case KEY_PPAGE:
    case KEY_SPREVIOUS:
      return KeyEvent::of(KeyEvent::Code::PageUp);
    case KEY_NPAGE:
    case KEY_SNEXT:
      return KeyEvent::of(KeyEvent::Code::PageDown);
    case KEY_ENTER:
      return KeyEvent::of(KeyEvent::Code::Enter);
    case KEY_HOME:
    case KEY_A1:
      return KeyEvent::of(KeyEvent::Code::Home);
    case KEY_END:
    case KEY_C1:
      return KeyEvent::of(KeyEvent::Code::End);
    case KEY_BACKSPACE:
      return KeyEvent::of(KeyEvent::Code::Backspace);
    case KEY_SR:  // Shift+Up
      return KeyEvent::of(KeyEvent::Code::Up);
    case KEY_SF:  // Shift+Down
      return KeyEvent::of(KeyEvent::Code::Down);
    case KEY_RESIZE:  // curses has taken the new size; the next draw uses it
      return KeyEvent::of(KeyEvent::Code::Resize);
    case KEY_MOUSE:
      return std::nullopt;
    default:
      return decode_modified_key(key);
  }
}

// An escape sequence curses did not turn into a key (such as ESC [ A from a terminal that
// ignores the keypad mode): the arrows and pages count, whatever their modifiers; other
// sequences are other keys.
KeyEvent decode_sequence(wint_t intro) {
  std::string body;
  wint_t c = 0;
  while (body.size() < 16 && wget_wch(stdscr, &c) == OK && c < 0x80) {
    body += static_cast<char>(c);
    if (c >= 0x40 && c <= 0x7E) break;  // the final byte
  }
  if (body.empty()) return KeyEvent::character(intro);  // Alt with '[' or 'O'
  const char final_byte = body.back();
  const std::string_view params = std::string_view(body).substr(0, body.size() - 1);
  if (final_byte == 'A') return KeyEvent::of(KeyEvent::Code::Up);
  if (final_byte == 'B') return KeyEvent::of(KeyEvent::Code::Down);
  if (final_byte == 'H') return KeyEvent::of(KeyEvent::Code::Home);
  if (final_byte == 'F') return KeyEvent::of(KeyEvent::Code::End);
  if (final_byte == '~' && intro == '[') {
    const std::string_view first = params.substr(0, params.find(';'));
    if (first == "5") return KeyEvent::of(KeyEvent::Code::PageUp);
    if (first == "6") return KeyEvent::of(KeyEvent::Code::PageDown);
    if (first == "1" || first == "7") return KeyEvent::of(KeyEvent::Code::Home);
    if (first == "4" || first == "8") return KeyEvent::of(KeyEvent::Code::End);
  }
  return KeyEvent::of(KeyEvent::Code::Other);
}

// ESC directly followed by a character is Alt with that character, and only the
// character counts; anything else after it is left for the next read.
KeyEvent decode_escape() {
  wtimeout(stdscr, 0);
  wint_t next = 0;
  const int rc = wget_wch(stdscr, &next);
  if (rc == OK && (next == '[' || next == 'O')) return decode_sequence(next);
  if (rc == OK && next >= 0x20 && next != 0x7F) return KeyEvent::character(next);
  if (rc == OK) unget_wch(static_cast<wchar_t>(next));
  if (rc == KEY_CODE_YES) ungetch(static_cast<int>(next));
  return KeyEvent::of(KeyEvent::Code::Esc);
}

// The terminfo entry to use: TERM's, or for an unset or unknown TERM xterm-256color, then
// xterm. An entry that cannot address the cursor (such as "dumb") is refused.
Result<std::string> terminal_type(const char* term) {
  std::vector<std::string> candidates;
  if (term != nullptr && *term != '\0') candidates.emplace_back(term);
  candidates.emplace_back("xterm-256color");
  candidates.emplace_back("xterm");
  for (const std::string& name : candidates) {
    int status = 0;
    if (setupterm(name.c_str(), STDOUT_FILENO, &status) != OK) continue;
    const char* cup = tigetstr("cup");
    // tigetstr answers (char*)-1 for a name that is not a string capability.
    const bool addressable = cup != nullptr && reinterpret_cast<std::intptr_t>(cup) != -1;
    del_curterm(cur_term);
    if (!addressable)
      return std::unexpected(Error("terminal type \"" + name +
                                   "\" cannot move the cursor; a full-screen terminal is needed"));
    return name;
  }
  return std::unexpected(Error("no terminfo entry for the terminal, nor for xterm"));
}

}  // namespace

Result<Terminal> Terminal::open() {
  if (!isatty(STDIN_FILENO)) return std::unexpected(Error("standard input is not a terminal"));
  if (!isatty(STDOUT_FILENO)) return std::unexpected(Error("standard output is not a terminal"));
  use_utf8_locale();
  const char* term = std::getenv("TERM");
  // Installed first, so ncurses leaves these signals to us.
  catch_quit_signals();
  // newterm, unlike initscr, reports an unknown terminal instead of exiting; the terminfo
  // entry is looked up first because a failed newterm leaks its half-made screen.
  const auto type = terminal_type(term);
  ::screen* screen = type ? newterm(type->c_str(), stdout, stdin) : nullptr;
  if (screen == nullptr) {
    release_quit_signals();
    if (!type) return std::unexpected(type.error());
    return std::unexpected(Error("failed to open the terminal \"" + *type + "\""));
  }
  Terminal terminal;
  terminal.screen_ = screen;
  terminal.active_ = true;
  if (raw() == ERR || noecho() == ERR || nonl() == ERR || keypad(stdscr, TRUE) == ERR) {
    terminal.restore();
    return std::unexpected(Error("failed to put the terminal into raw mode"));
  }
  curs_set(0);  // terminals that cannot hide the cursor still work
  set_escdelay(25);
  terminal.set_up_colors();
  def_prog_mode();
  return terminal;
}

void Terminal::set_up_colors() {
  const char* no_color = std::getenv("NO_COLOR");
  if (no_color != nullptr && *no_color != '\0') return;
  colors_ = has_colors() && start_color() == OK;
  default_colors_ = colors_ && use_default_colors() == OK;
}

Terminal::Terminal(Terminal&& other) noexcept
    : active_(other.active_),
      screen_(other.screen_),
      colors_(other.colors_),
      default_colors_(other.default_colors_),
      pairs_(other.pairs_),
      next_pair_(other.next_pair_) {
  other.active_ = false;
  other.screen_ = nullptr;
}

Terminal::~Terminal() { restore(); }

void Terminal::restore() {
  if (!active_) return;
  active_ = false;
  curs_set(1);
  endwin();
  std::fflush(stdout);
  delscreen(screen_);
  screen_ = nullptr;
  release_quit_signals();
}

Rect Terminal::size() const {
  if (!active_) return {};
  int rows = 0, cols = 0;
  getmaxyx(stdscr, rows, cols);
  return {0, 0, cols, rows};
}

Result<void> Terminal::suspend() {
  if (!active_) return std::unexpected(Error("the terminal is closed"));
  def_prog_mode();
  if (endwin() == ERR) return std::unexpected(Error("failed to leave the full screen"));
  std::fflush(stdout);
  return {};
}

Result<void> Terminal::resume() {
  if (!active_) return std::unexpected(Error("the terminal is closed"));
  // Ctrl+C at sudo's password prompt reaches us too; it cancels sudo, not the program.
  if (g_signal == SIGINT) g_signal = 0;
  reset_prog_mode();
  clearok(curscr, TRUE);
  if (refresh() == ERR) return std::unexpected(Error("failed to enter the full screen"));
  return {};
}

Result<void> Terminal::stop_job() {
  if (auto left = suspend(); !left) return left;
  // ncurses may have its own SIGTSTP handler; the default one really stops.
  struct sigaction stop = {};
  struct sigaction saved = {};
  stop.sa_handler = SIG_DFL;
  sigemptyset(&stop.sa_mask);
  sigaction(SIGTSTP, &stop, &saved);
  kill(0, SIGTSTP);
  sigaction(SIGTSTP, &saved, nullptr);
  return resume();
}

void Terminal::repaint() {
  if (active_) clearok(curscr, TRUE);
}

Result<std::optional<KeyEvent>> Terminal::poll_key(int timeout_ms) {
  using namespace std::chrono;
  if (!active_) return std::unexpected(Error("the terminal is closed"));
  const auto deadline = steady_clock::now() + milliseconds(std::max(timeout_ms, 0));
  for (;;) {
    if (g_signal != 0) {
      g_signal = 0;
      return KeyEvent::character(U'q');
    }
    const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
    wtimeout(stdscr, static_cast<int>(std::clamp<decltype(left)>(left, 0, kSliceMs)));
    wint_t ch = 0;
    const int rc = wget_wch(stdscr, &ch);
    if (rc == KEY_CODE_YES) return decode_function_key(ch);
    if (rc == OK) return ch == 0x1B ? decode_escape() : decode_char(ch);
    if (left <= 0) return std::nullopt;
  }
}

}  // namespace stackpeek::ui
