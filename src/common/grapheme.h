#pragma once

#include <string_view>

namespace stackpeek {

/// One drawn character: a base code point with the combining marks that follow it.
struct Grapheme {
  std::string_view symbol;
  int width = 0;            // display columns; 0 for control characters
  bool whitespace = false;  // a break opportunity for word wrapping (never NBSP)
  bool control = false;     // C0, DEL or C1: never drawn
};

/// Walks a UTF-8 text grapheme by grapheme. Bad bytes come out as one-column graphemes,
/// never as control characters. Joiners, variation selectors, bidirectional controls and
/// other invisible format characters are skipped (never drawn, never joining two
/// characters); a tab comes out as one space.
class GraphemeCursor {
 public:
  explicit GraphemeCursor(std::string_view text) : text_(text) {}
  /// Fills `out` with the next grapheme; false at the end of the text.
  bool next(Grapheme& out);

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

/// Display columns of `text`; control characters count nothing.
int display_width(std::string_view text);

}  // namespace stackpeek
