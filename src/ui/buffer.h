#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace stackpeek::ui {

/// The eight basic terminal colours, and Default for "the terminal's own".
enum class Color : uint8_t { Default, Black, Red, Green, Yellow, Blue, Magenta, Cyan, White };

/// Colours and attributes of a cell. Default means "not set": it keeps what lies below
/// when patched over a cell, and shows the terminal's own colour on screen.
struct Style {
  Color fg = Color::Default;
  Color bg = Color::Default;
  bool bold = false;
  bool operator==(const Style&) const = default;
};

/// Overlays `top` on `base`: colours that are not Default win, bold adds up.
Style patch(Style base, Style top);

/// A rectangle of cells: its top-left corner and its size.
struct Rect {
  int x = 0, y = 0, width = 0, height = 0;
  bool operator==(const Rect&) const = default;
  /// The first column to the right of the area.
  int right() const { return x + width; }
  /// The first row below the area.
  int bottom() const { return y + height; }
  /// True when the area holds no cell.
  bool empty() const { return width <= 0 || height <= 0; }
  /// The area inside a one-cell border (empty when there is no room).
  Rect inner() const;
  /// The part of this area that also lies in `other`.
  Rect intersect(Rect other) const;
};

/// One screen cell: the character drawn there (empty for the second half of a wide
/// character) and its style.
struct Cell {
  std::string symbol = " ";
  Style style;
  bool operator==(const Cell&) const = default;
};

/// An in-memory screen that widgets draw into and the terminal copies from. Nothing
/// outside its area is ever touched, and no control character ever enters it.
class Buffer {
 public:
  /// A buffer of blank cells covering `area` (a negative size counts as 0).
  explicit Buffer(Rect area);

  /// The area the buffer covers.
  const Rect& area() const { return area_; }
  /// The cell at (x, y), which must lie inside the area.
  Cell& at(int x, int y);
  /// The cell at (x, y), which must lie inside the area.
  const Cell& at(int x, int y) const;
  /// True when (x, y) lies inside the area.
  bool contains(int x, int y) const;

  /// Writes `text` from (x, y), at most `max_width` columns, skipping control characters;
  /// the style is patched over the cells' styles. Returns the column after the last
  /// character written.
  int set_string(int x, int y, std::string_view text, Style style, int max_width);
  /// Writes one grapheme of `width` columns (1 or 2) at (x, y); the second cell of a wide
  /// one becomes empty. Does nothing when it does not fit.
  void set_grapheme(int x, int y, std::string_view symbol, int width, Style style);
  /// Patches `style` over every cell of `area`.
  void set_style(Rect area, Style style);
  /// Resets every cell of `area` to a blank in the default style.
  void clear(Rect area);

  /// Each row's text, trailing blanks kept (tests compare these).
  std::vector<std::string> lines() const;

 private:
  Rect area_;
  std::vector<Cell> cells_;
};

}  // namespace stackpeek::ui
