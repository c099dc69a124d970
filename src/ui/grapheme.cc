#include "ui/grapheme.h"

#include "common/utf8.h"

namespace stackpeek::ui {
namespace {

constexpr char32_t kNoBreakSpace = 0xA0;
constexpr char32_t kZeroWidthSpace = 0x200B;

// Zero-width code points that belong to the character before them.
bool extends_previous(char32_t c) {
  return c != kZeroWidthSpace && !utf8::is_control(c) && utf8::display_width(c) == 0;
}

}  // namespace

bool GraphemeCursor::next(Grapheme& out) {
  if (pos_ >= text_.size()) return false;
  const size_t start = pos_;
  const char32_t base = utf8::next(text_, pos_);
  out.control = utf8::is_control(base);
  out.width = utf8::display_width(base);
  // A zero-width space is its own break opportunity: a long word can wrap there.
  out.whitespace = base == kZeroWidthSpace || (utf8::is_whitespace(base) && base != kNoBreakSpace);
  if (!out.control && base != kZeroWidthSpace) {
    while (pos_ < text_.size()) {
      size_t peek = pos_;
      const char32_t c = utf8::next(text_, peek);
      if (!extends_previous(c)) break;
      out.whitespace = out.whitespace && utf8::is_whitespace(c);
      pos_ = peek;
    }
  }
  out.symbol = text_.substr(start, pos_ - start);
  return true;
}

int display_width(std::string_view text) {
  GraphemeCursor cursor(text);
  Grapheme g;
  int width = 0;
  while (cursor.next(g)) width += g.width;
  return width;
}

}  // namespace stackpeek::ui
