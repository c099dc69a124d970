#pragma once

#include <string>
#include <string_view>

#include "app/list_model.h"

namespace stackpeek::ui {

/// `text` if it takes at most `width` columns, else its head cut to leave room for a final
/// "…" within `width`.
std::string cut_end(std::string_view text, int width);

/// `text` if it takes at most `width` columns, else its head up to the last blank that
/// leaves room for a final "…" (cut_end when no word ends in time).
std::string cut_at_word(std::string_view text, int width);

/// `text` if it takes at most `width` columns, else its head and its tail around "…", the
/// head getting the odd column.
std::string cut_middle(std::string_view text, int width);

/// `text` if it takes at most `width` columns, else "…" and as much of its tail as fits.
std::string keep_end(std::string_view text, int width);

/// The text of a list row in at most `width` columns. A row that does not fit gives way in
/// its fit part: in a process row the interpreter's path shrinks to its file name, then the
/// other path arguments to theirs; then the part's end is cut. The text around the part
/// (pid, rank, group tag, count) is cut only when it alone is wider than `width`.
std::string fit_row(const app::ListRow& row, int width);

}  // namespace stackpeek::ui
