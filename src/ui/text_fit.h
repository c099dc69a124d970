#pragma once

#include <string>
#include <string_view>

#include "app/list_model.h"
#include "common/text_fit.h"

namespace stackpeek::ui {

/// The text of a list row in at most `width` columns. A row that does not fit gives way in
/// its fit part: in a process row the interpreter's path shrinks to its file name, then the
/// other path arguments to theirs; then the part's end is cut. The text around the part
/// (pid, rank, group tag, count) is cut only when it alone is wider than `width`.
std::string fit_row(const app::ListRow& row, int width);

}  // namespace stackpeek::ui
