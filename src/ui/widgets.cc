#include "ui/widgets.h"

#include <algorithm>

#include "common/util.h"

namespace stackpeek::ui {
namespace {

constexpr std::string_view kTopLeft = "┌", kTopRight = "┐", kBottomLeft = "└", kBottomRight = "┘",
                           kVertical = "│", kHorizontal = "─";

}  // namespace

std::string Line::plain() const {
  std::string text;
  for (const Span& span : spans) text += span.content;
  return text;
}

std::vector<std::string_view> display_lines(std::string_view text) {
  std::vector<std::string_view> lines = split_lines(text);
  if (lines.empty()) lines.emplace_back();
  return lines;
}

Text text_from(std::string_view text) {
  Text lines;
  for (std::string_view line : display_lines(text)) lines.emplace_back(std::string(line));
  return lines;
}

Rect render_block(Buffer& buffer, Rect area, std::string_view title, Style style) {
  area = area.intersect(buffer.area());
  if (area.empty()) return area;
  buffer.set_style(area, style);
  const int last_x = area.right() - 1, last_y = area.bottom() - 1;
  for (int x = area.x; x <= last_x; ++x) {
    buffer.set_grapheme(x, area.y, kHorizontal, 1, {});
    buffer.set_grapheme(x, last_y, kHorizontal, 1, {});
  }
  for (int y = area.y; y <= last_y; ++y) {
    buffer.set_grapheme(area.x, y, kVertical, 1, {});
    buffer.set_grapheme(last_x, y, kVertical, 1, {});
  }
  buffer.set_grapheme(area.x, area.y, kTopLeft, 1, {});
  buffer.set_grapheme(last_x, area.y, kTopRight, 1, {});
  buffer.set_grapheme(area.x, last_y, kBottomLeft, 1, {});
  buffer.set_grapheme(last_x, last_y, kBottomRight, 1, {});
  buffer.set_string(area.x + 1, area.y, title, {}, area.width - 2);
  return area.inner();
}

void render_clear(Buffer& buffer, Rect area) { buffer.clear(area); }

int render_line(Buffer& buffer, int x, int y, int width, const Line& line, Style base) {
  const int end = x + std::max(width, 0);
  for (const Span& span : line.spans) {
    if (x >= end) break;
    x = buffer.set_string(x, y, span.content, patch(base, span.style), end - x);
  }
  return x;
}

void render_text(Buffer& buffer, Rect area, const Text& text, Style base) {
  const size_t rows = static_cast<size_t>(std::max(area.height, 0));
  for (size_t i = 0; i < text.size() && i < rows; ++i)
    render_line(buffer, area.x, area.y + static_cast<int>(i), area.width, text[i], base);
}

}  // namespace stackpeek::ui
