// The process list: only whole items are shown, and the view moves only as far as the
// selection needs, so the rows stay put while the selection moves within the view.
#include <algorithm>
#include <string>
#include <utility>

#include "common/grapheme.h"
#include "ui/widgets.h"

namespace stackpeek::ui {
namespace {

// Rows an item takes: its number of lines as display_lines counts them.
size_t item_height(std::string_view text) {
  if (text.empty()) return 1;
  size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
  return text.back() == '\n' ? lines : lines + 1;
}

// The items [first, last) to show: from `offset` as many as fit whole, then moved just far
// enough to include `selected`.
std::pair<size_t, size_t> visible_items(const std::vector<std::string_view>& items,
                                        std::optional<size_t> selected, size_t offset,
                                        size_t max_height) {
  const auto height = [&](size_t i) { return item_height(items[i]); };
  offset = std::min(offset, items.size() - 1);
  size_t first = offset, last = offset, used = 0;
  while (last < items.size() && used + height(last) <= max_height) used += height(last++);
  const size_t target = std::min(selected.value_or(offset), items.size() - 1);
  while (target >= last) {
    used += height(last++);
    while (used > max_height) used -= height(first++);
  }
  while (target < first) {
    used += height(--first);
    while (used > max_height) used -= height(--last);
  }
  return {first, last};
}

struct ListStyle {
  std::string_view symbol;
  int symbol_width;   // 0 while nothing is selected: no room is kept for the symbol
  std::string blank;  // what unselected lines start with
  Style highlight;
};

// Draws one item at row `y`; returns the rows it took.
int render_item(Buffer& buffer, Rect area, int y, std::string_view item, bool selected,
                const ListStyle& style) {
  const std::vector<std::string_view> lines = display_lines(item);
  const int text_x = area.x + style.symbol_width;
  const int text_width = std::max(area.width - style.symbol_width, 0);
  for (size_t j = 0; j < lines.size(); ++j) {
    const int row = y + static_cast<int>(j);
    buffer.set_string(text_x, row, lines[j], {}, text_width);
    if (style.symbol_width == 0) continue;
    const std::string_view mark = selected && j == 0 ? style.symbol : style.blank;
    buffer.set_string(area.x, row, mark, {}, area.width);
  }
  const int rows = static_cast<int>(lines.size());
  if (selected) buffer.set_style({area.x, y, area.width, rows}, style.highlight);
  return rows;
}

}  // namespace

void render_list(Buffer& buffer, Rect area, const std::vector<std::string_view>& items,
                 ListState& state, std::string_view highlight_symbol, Style highlight_style) {
  area = area.intersect(buffer.area());
  if (area.empty() || items.empty()) return;
  const auto [first, last] =
      visible_items(items, state.selected, state.offset, static_cast<size_t>(area.height));
  state.offset = first;
  const int symbol_width = state.selected ? display_width(highlight_symbol) : 0;
  const ListStyle style{highlight_symbol, symbol_width,
                        std::string(static_cast<size_t>(symbol_width), ' '), highlight_style};
  int y = area.y;
  for (size_t i = first; i < last; ++i)
    y += render_item(buffer, area, y, items[i], state.selected == i, style);
}

}  // namespace stackpeek::ui
