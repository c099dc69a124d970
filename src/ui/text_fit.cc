#include "ui/text_fit.h"

#include <algorithm>
#include <vector>

#include "common/grapheme.h"
#include "common/text_fit.h"

namespace stackpeek::ui {
namespace {

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
    if (std::string text = joined(parts); fits_width(text, width)) return text;
  }
  for (auto& part : parts) {
    if (is_path_argument(part)) part = file_name(part);
  }
  return cut_end(joined(parts), width);
}

}  // namespace

std::string fit_row(const app::ListRow& row, int width) {
  const std::string_view text = row.text;
  if (fits_width(text, width) || row.fit_end > text.size() || row.fit_begin >= row.fit_end)
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
