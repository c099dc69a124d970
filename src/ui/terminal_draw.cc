// Copying a buffer to the curses screen.
#define NCURSES_WIDECHAR 1
#include <curses.h>

#include <cwchar>

#include "common/utf8.h"
#include "common/grapheme.h"
#include "ui/terminal.h"

namespace stackpeek::ui {
namespace {

short curses_color(Color color, bool foreground, bool terminal_defaults) {
  switch (color) {
    case Color::Default:
      return terminal_defaults ? -1 : (foreground ? COLOR_WHITE : COLOR_BLACK);
    case Color::Black:
      return COLOR_BLACK;
    case Color::Red:
      return COLOR_RED;
    case Color::Green:
      return COLOR_GREEN;
    case Color::Yellow:
      return COLOR_YELLOW;
    case Color::Blue:
      return COLOR_BLUE;
    case Color::Magenta:
      return COLOR_MAGENTA;
    case Color::Cyan:
      return COLOR_CYAN;
    case Color::White:
      return COLOR_WHITE;
  }
  return -1;
}

// Columns the cell at (x, y) takes on screen: 1 or 2, or 0 when it must show as a blank
// (the second half of a wide character whose first half was overwritten, or a wide
// character whose second half was).
int cell_width(const Buffer& buffer, Rect area, int x, int y) {
  const std::string& symbol = buffer.at(x, y).symbol;
  if (symbol.empty()) return 0;
  const int width = display_width(symbol);
  if (width == 2 && (x + 1 >= area.right() || !buffer.at(x + 1, y).symbol.empty())) return 0;
  return width == 1 || width == 2 ? width : 0;
}

// The characters curses draws for a symbol of `width` columns. A symbol the C library
// measures differently (older Unicode tables) becomes U+FFFD, so curses and the buffer
// agree on where every cell is. Returns the columns the result takes.
int cell_chars(std::string_view symbol, int width, wchar_t (&out)[CCHARW_MAX + 1]) {
  size_t pos = 0, n = 0;
  while (pos < symbol.size() && n < CCHARW_MAX) {
    const wchar_t c = static_cast<wchar_t>(utf8::next(symbol, pos));
    if (n > 0 && wcwidth(c) != 0) break;
    out[n++] = c;
  }
  out[n] = L'\0';
  if (n > 0 && wcwidth(out[0]) == width) return width;
  out[0] = L'\uFFFD';
  out[1] = L'\0';
  return 1;
}

}  // namespace

short Terminal::color_pair(Style style) {
  if (!colors_ || (style.fg == Color::Default && style.bg == Color::Default)) return 0;
  short& pair = pairs_[static_cast<size_t>(style.fg) * 9 + static_cast<size_t>(style.bg)];
  if (pair == 0 && next_pair_ < COLOR_PAIRS &&
      init_pair(next_pair_, curses_color(style.fg, true, default_colors_),
                curses_color(style.bg, false, default_colors_)) == OK)
    pair = next_pair_++;
  return pair;
}

// Draws the cell at (x, y) into curses' screen; returns the columns it took.
int Terminal::put_cell(const Buffer& buffer, Rect area, int x, int y) {
  const Cell& cell = buffer.at(x, y);
  const int width = cell_width(buffer, area, x, y);
  wchar_t chars[CCHARW_MAX + 1] = {L' ', L'\0'};
  const int drawn = width == 0 ? 1 : cell_chars(cell.symbol, width, chars);
  cchar_t cc;
  setcchar(&cc, chars, cell.style.bold ? A_BOLD : A_NORMAL, color_pair(cell.style), nullptr);
  mvwadd_wch(stdscr, y, x, &cc);
  if (drawn < width) {
    setcchar(&cc, L" ", cell.style.bold ? A_BOLD : A_NORMAL, color_pair(cell.style), nullptr);
    mvwadd_wch(stdscr, y, x + 1, &cc);
  }
  return width == 2 ? 2 : 1;
}

Result<void> Terminal::draw(const Buffer& buffer) {
  if (!active_) return std::unexpected(Error("the terminal is closed"));
  const Rect area = buffer.area().intersect(size());
  for (int y = area.y; y < area.bottom(); ++y)
    for (int x = area.x; x < area.right();) x += put_cell(buffer, area, x, y);
  // curses compares with what the screen shows and writes only the changed cells.
  if (wnoutrefresh(stdscr) == ERR || doupdate() == ERR)
    return std::unexpected(Error("failed to draw the screen"));
  return {};
}

}  // namespace stackpeek::ui
