#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ui/buffer.h"

namespace stackpeek::ui {

/// A run of text in one style.
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
  /// The spans' texts joined.
  std::string plain() const;
};

/// Lines of text, top to bottom.
using Text = std::vector<Line>;

/// The lines of `text` as stackpeek::split_lines gives them, except that an empty text is
/// one empty line: whatever is drawn takes at least one row.
std::vector<std::string_view> display_lines(std::string_view text);

/// `display_lines` as unstyled text.
Text text_from(std::string_view text);

/// Draws a bordered block with `title` on its top border from the second column, patching
/// `style` over the whole area first. Returns the area inside the border.
Rect render_block(Buffer& buffer, Rect area, std::string_view title, Style style = {});

/// Blanks an area so nothing below shows through.
void render_clear(Buffer& buffer, Rect area);

/// Draws `line` from (x, y), cut off after `width` columns. Returns the column after it.
int render_line(Buffer& buffer, int x, int y, int width, const Line& line, Style base = {});

/// Draws each line on its own row, cut off at the area's width; lines below the area are
/// not drawn.
void render_text(Buffer& buffer, Rect area, const Text& text, Style base = {});

/// The lines of `text` wrapped at word boundaries to `width` columns without trimming:
/// leading blanks stay, blanks at a break are dropped as far as they would have fitted on
/// the broken line, and words longer than the width are broken between characters.
std::vector<Line> wrap_lines(const Text& text, int width);

/// The rows plain lines, one per entry, take when wrapped as `wrap_lines` does.
int wrapped_line_count(const std::vector<std::string>& lines, int width);

/// Draws `text` wrapped as `wrap_lines` does, skipping its first `scroll` wrapped lines.
void render_paragraph(Buffer& buffer, Rect area, const Text& text, int scroll, Style base = {});
/// The same for plain lines, one per entry; only the lines that show are looked at.
void render_paragraph(Buffer& buffer, Rect area, const std::vector<std::string>& lines, int scroll,
                      Style base = {});

/// The selection of a list and the first item shown.
struct ListState {
  std::optional<size_t> selected;
  size_t offset = 0;
};

/// Draws a list of items, each split into lines as `display_lines` does and shown only when
/// it fits whole. While an item is selected every line starts with the width of
/// `highlight_symbol` (the symbol on the selected item's first line, blanks elsewhere) and
/// the selected item's rows get `highlight_style` across the full width. The view scrolls
/// from `state.offset` only as far as needed to show the selected item; the offset used is
/// stored back.
void render_list(Buffer& buffer, Rect area, const std::vector<std::string_view>& items,
                 ListState& state, std::string_view highlight_symbol, Style highlight_style);

}  // namespace stackpeek::ui
