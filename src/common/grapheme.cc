#include "common/grapheme.h"

#include <utf8proc.h>

#include "common/utf8.h"

namespace stackpeek {
namespace {

constexpr char32_t kNoBreakSpace = 0xA0;
constexpr char32_t kZeroWidthSpace = 0x200B;
constexpr std::string_view kTabSymbol = " ";

// Code points terminals disagree about or that reorder the text around them: joiners,
// variation selectors, bidirectional controls and every other invisible format character.
// They are never drawn, so each drawn character takes the columns wcwidth gives it.
bool dropped(char32_t c) {
  if (c == kZeroWidthSpace) return false;
  if ((c >= 0xFE00 && c <= 0xFE0F) || (c >= 0xE0100 && c <= 0xE01EF)) return true;
  return utf8proc_category(static_cast<utf8proc_int32_t>(c)) == UTF8PROC_CATEGORY_CF &&
         utf8::display_width(c) == 0;
}

// Zero-width code points that belong to the character before them.
bool extends_previous(char32_t c) {
  return c != kZeroWidthSpace && !utf8::is_control(c) && !dropped(c) && utf8::display_width(c) == 0;
}

}  // namespace

bool GraphemeCursor::next(Grapheme& out) {
  size_t start = pos_;
  char32_t base = 0;
  do {
    if (pos_ >= text_.size()) return false;
    start = pos_;
    base = utf8::next(text_, pos_);
  } while (dropped(base));
  if (base == U'\t') {
    out = {kTabSymbol, 1, true, false};
    return true;
  }
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

}  // namespace stackpeek
