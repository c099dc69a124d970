#include "ui/text_fit.h"

#include <algorithm>
#include <vector>

#include "ui/grapheme.h"

namespace stackpeek::ui {
namespace {

constexpr std::string_view kEllipsis = "…";

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

bool is_path_argument(std::string_view word) {
  return word.find('/') != std::string_view::npos && !word.starts_with('-') &&
         word.find('=') == std::string_view::npos && word.find("://") == std::string_view::npos &&
         !word.ends_with('/');
}

std::string_view file_name(std::string_view word) { return word.substr(word.rfind('/') + 1); }

std::vector<std::string_view> words(std::string_view text) {
  std::vector<std::string_view> out;
  size_t start = 0;
  for (;;) {
    const size_t space = text.find(' ', start);
    out.push_back(text.substr(start, space - start));
    if (space == std::string_view::npos) return out;
    start = space + 1;
  }
}

std::string joined(const std::vector<std::string_view>& parts) {
  std::string text;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) text += ' ';
    text += parts[i];
  }
  return text;
}

// A command line in at most `width` columns: its paths shrink to their file names, the
// interpreter's first, before its end is cut.
std::string fit_command(std::string_view command, int width) {
  std::vector<std::string_view> parts = words(command);
  if (is_path_argument(parts.front())) {
    parts.front() = file_name(parts.front());
    if (std::string text = joined(parts); fits(text, width)) return text;
  }
  for (auto& part : parts) {
    if (is_path_argument(part)) part = file_name(part);
  }
  return cut_end(joined(parts), width);
}

}  // namespace

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
  const std::string_view front = head(text, room - room / 2);
  const std::string_view back = tail(text.substr(front.size()), width - 1 - display_width(front));
  return std::string(front) + std::string(kEllipsis) + std::string(back);
}

std::string keep_end(std::string_view text, int width) {
  if (fits(text, width)) return std::string(text);
  if (width < 1) return {};
  return std::string(kEllipsis) + std::string(tail(text, width - 1));
}

std::string fit_row(const app::ListRow& row, int width) {
  const std::string_view text = row.text;
  if (fits(text, width) || row.fit_end > text.size() || row.fit_begin >= row.fit_end)
    return cut_end(text, width);
  const std::string_view before = text.substr(0, row.fit_begin);
  const std::string_view part = text.substr(row.fit_begin, row.fit_end - row.fit_begin);
  const std::string_view after = text.substr(row.fit_end);
  const int room = width - display_width(before) - display_width(after);
  if (room < 1) return cut_end(text, width);
  const std::string fitted =
      row.kind == app::ListRow::Kind::Process ? fit_command(part, room) : cut_end(part, room);
  return std::string(before) + fitted + std::string(after);
}

}  // namespace stackpeek::ui
