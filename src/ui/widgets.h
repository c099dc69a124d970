#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ui/buffer.h"

namespace stackpeek::ui {

struct Span {
  std::string content;
  Style style;
};

/// One line of text made of styled spans.
struct Line {
  std::vector<Span> spans;
  Line() = default;
  Line(std::string text, Style style = {}) { spans.push_back({std::move(text), style}); }
  Line(std::vector<Span> s) : spans(std::move(s)) {}
};

using Text = std::vector<Line>;

/// Splits text at line feeds into lines (a final line feed adds no empty line).
Text text_from(std::string_view text);

/// A bordered block with a title at the top left; returns its inner area.
Rect render_block(Buffer& buffer, Rect area, std::string_view title, Style style = {});

/// Blanks an area so nothing below shows through.
void render_clear(Buffer& buffer, Rect area);

/// Lines wrapped at word boundaries to `width` columns, leading blanks kept.
std::vector<Line> wrap_lines(const Text& text, int width);

/// Text wrapped at word boundaries, scrolled down by `scroll` drawn lines.
void render_paragraph(Buffer& buffer, Rect area, const Text& text, int scroll, Style base = {});

struct ListState {
  std::optional<size_t> selected;
  size_t offset = 0;
};

/// A list of items (each possibly several lines) with the selected one marked by
/// `highlight_symbol` and `highlight_style`; scrolls only as far as needed.
void render_list(Buffer& buffer, Rect area, const std::vector<Text>& items, ListState& state,
                 std::string_view highlight_symbol, Style highlight_style);

}  // namespace stackpeek::ui
