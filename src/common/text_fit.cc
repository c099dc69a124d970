#include "common/text_fit.h"

#include <algorithm>
#include <vector>

#include "common/grapheme.h"
#include "common/util.h"

namespace stackpeek {
namespace {

// The graphemes of `text` with their byte offsets and widths, control characters left out
// as the buffer leaves them out.
struct Piece {
  size_t begin, end;
  int width;
};

std::vector<Piece> pieces(std::string_view text) {
  std::vector<Piece> out;
  GraphemeCursor cursor(text);
  Grapheme g;
  while (cursor.next(g)) {
    const auto begin = static_cast<size_t>(g.symbol.data() - text.data());
    out.push_back({begin, begin + g.symbol.size(), g.control ? 0 : g.width});
  }
  return out;
}

// The longest head of `text` that takes at most `width` columns.
std::string_view head(std::string_view text, int width) {
  size_t end = 0;
  for (const Piece& p : pieces(text)) {
    if (p.width > width) break;
    width -= p.width;
    end = p.end;
  }
  return text.substr(0, end);
}

// The longest tail of `text` that takes at most `width` columns.
std::string_view tail(std::string_view text, int width) {
  const std::vector<Piece> all = pieces(text);
  size_t begin = text.size();
  for (auto p = all.rbegin(); p != all.rend(); ++p) {
    if (p->width > width) break;
    width -= p->width;
    begin = p->begin;
  }
  return text.substr(begin);
}

// Display width is never more than the byte count, so a short text needs no measuring.
bool fits(std::string_view text, int width) {
  return text.size() <= static_cast<size_t>(std::max(width, 0)) || display_width(text) <= width;
}

}  // namespace

bool fits_width(std::string_view text, int width) { return fits(text, width); }

std::string cut_end(std::string_view text, int width) {
  if (fits(text, width)) return std::string(text);
  if (width < 1) return {};
  return std::string(head(text, width - 1)) + std::string(kEllipsis);
}

std::string cut_at_word(std::string_view text, int width) {
  if (fits(text, width)) return std::string(text);
  if (width < 1) return {};
  std::string_view kept = head(text, width - 1);
  const size_t blank = kept.find_last_of(' ');
  // A head of blanks only, or a first word longer than the room, is cut mid-word.
  if (blank != std::string_view::npos && kept.find_first_not_of(' ') < blank)
    kept = kept.substr(0, kept.find_last_not_of(' ', blank) + 1);
  return std::string(kept) + std::string(kEllipsis);
}

std::string cut_middle(std::string_view text, int width) {
  if (fits(text, width)) return std::string(text);
  if (width < 1) return {};
  const int room = width - 1;
  const std::string_view front = head(text, room / 2);
  const std::string_view back = tail(text.substr(front.size()), room - display_width(front));
  return std::string(front) + std::string(kEllipsis) + std::string(back);
}

std::string keep_end(std::string_view text, int width) {
  if (fits(text, width)) return std::string(text);
  if (width < 1) return {};
  return std::string(kEllipsis) + std::string(tail(text, width - 1));
}

}  // namespace stackpeek
