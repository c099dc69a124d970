#pragma once

#include <limits>
#include <string>
#include <string_view>

#include "app/app.h"
#include "ui/buffer.h"
#include "ui/widgets.h"

namespace stackpeek::ui {

/// Draws one complete frame of the application into `buffer`: the process list, the
/// Details pane, the output pane, the footer and, while a request waits for sudo, the
/// permission pop-up. Keeps no state between frames and never fails.
void draw_ui(Buffer& buffer, const app::App& app);

/// Label padded to 11 characters in bold yellow, then the value in the default style.
Line detail_line(std::string_view label, std::string_view value);

/// The footer text: the mode, the key hints and the status (behind a spinner while a run
/// is going). When that is wider than `width` the hints shrink to their keys, then drop out.
std::string footer_text(const app::App& app, int width = std::numeric_limits<int>::max());

/// The furthest the output pane of a screen of `area` scrolls: until its last line shows.
int output_scroll_limit(Rect area, const app::App& app);

/// The inner size of the output pane on a screen of `area` while a live top streams.
tasks::WindowSize top_pane_size(Rect area, const app::App& app);

/// True when `area` is below the smallest size the interface is drawn at (40×12); only a
/// notice is drawn then.
bool too_small(Rect area);

}  // namespace stackpeek::ui
