#pragma once

#include <string_view>

#include "app/app.h"
#include "ui/buffer.h"
#include "ui/widgets.h"

namespace stackpeek::ui {

/// Draws one complete frame of the application into `buffer`. Never fails.
void draw_ui(Buffer& buffer, const app::App& app);

/// Label padded to 11 columns in bold yellow, then the value in the default style.
Line detail_line(std::string_view label, std::string_view value);

}  // namespace stackpeek::ui
