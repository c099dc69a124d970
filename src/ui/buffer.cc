#include "ui/buffer.h"

#include <algorithm>

#include "common/grapheme.h"

namespace stackpeek::ui {

Style patch(Style base, Style top) {
  if (top.fg != Color::Default) base.fg = top.fg;
  if (top.bg != Color::Default) base.bg = top.bg;
  base.bold = base.bold || top.bold;
  return base;
}

Rect Rect::inner() const {
  if (width < 2 || height < 2) return {x + std::min(width, 1), y + std::min(height, 1), 0, 0};
  return {x + 1, y + 1, width - 2, height - 2};
}

Rect Rect::intersect(Rect other) const {
  const int left = std::max(x, other.x), top = std::max(y, other.y);
  const int r = std::min(right(), other.right()), b = std::min(bottom(), other.bottom());
  if (r <= left || b <= top) return {left, top, 0, 0};
  return {left, top, r - left, b - top};
}

Buffer::Buffer(Rect area) : area_(area) {
  area_.width = std::max(area_.width, 0);
  area_.height = std::max(area_.height, 0);
  cells_.resize(static_cast<size_t>(area_.width) * static_cast<size_t>(area_.height));
}

bool Buffer::contains(int x, int y) const {
  return x >= area_.x && x < area_.right() && y >= area_.y && y < area_.bottom();
}

Cell& Buffer::at(int x, int y) {
  return cells_[static_cast<size_t>(y - area_.y) * area_.width + (x - area_.x)];
}

const Cell& Buffer::at(int x, int y) const {
  return cells_[static_cast<size_t>(y - area_.y) * area_.width + (x - area_.x)];
}

// Writing over half of a wide character leaves its other half meaningless: blank it.
void Buffer::set_grapheme(int x, int y, std::string_view symbol, int width, Style style) {
  if (width < 1 || !contains(x, y) || x + width > area_.right()) return;
  if (x > area_.x && at(x, y).symbol.empty()) at(x - 1, y).symbol.assign(1, ' ');
  Cell& cell = at(x, y);
  cell.symbol.assign(symbol);
  cell.style = patch(cell.style, style);
  for (int i = 1; i < width; ++i) {
    Cell& hidden = at(x + i, y);
    hidden.symbol.clear();
    hidden.style = cell.style;
  }
  if (x + width < area_.right() && at(x + width, y).symbol.empty())
    at(x + width, y).symbol.assign(1, ' ');
}

int Buffer::set_string(int x, int y, std::string_view text, Style style, int max_width) {
  if (y < area_.y || y >= area_.bottom() || x >= area_.right()) return x;
  const int limit = std::min(area_.right(), x + std::max(max_width, 0));
  int col = x;
  GraphemeCursor cursor(text);
  Grapheme g;
  while (cursor.next(g)) {
    if (g.control || g.width == 0) continue;
    if (col + g.width > limit) break;
    if (col >= area_.x) set_grapheme(col, y, g.symbol, g.width, style);
    col += g.width;
  }
  return col;
}

void Buffer::set_style(Rect area, Style style) {
  if (style == Style{}) return;  // patching nothing changes nothing
  const Rect r = area.intersect(area_);
  for (int y = r.y; y < r.bottom(); ++y)
    for (int x = r.x; x < r.right(); ++x) at(x, y).style = patch(at(x, y).style, style);
}

void Buffer::clear(Rect area) {
  const Rect r = area.intersect(area_);
  for (int y = r.y; y < r.bottom(); ++y)
    for (int x = r.x; x < r.right(); ++x) at(x, y) = Cell{};
}

std::vector<std::string> Buffer::lines() const {
  std::vector<std::string> rows;
  for (int y = area_.y; y < area_.bottom(); ++y) {
    std::string row;
    for (int x = area_.x; x < area_.right(); ++x) row += at(x, y).symbol;
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace stackpeek::ui
