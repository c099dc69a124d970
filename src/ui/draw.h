#pragma once

#include <limits>
#include <string>
#include <string_view>

#include "app/app.h"
#include "ui/buffer.h"
#include "ui/widgets.h"

namespace stackpeek::ui {

/// Where the parts of the screen lie.
struct Panes {
  Rect list, details, output, footer;
};

/// The panes of a screen of `area`. The footer is the last row. Zoomed, the output pane takes
/// every other row; while a live top streams, all but the list's 8. Otherwise the list and
/// Details take the rows their text needs (at least 8, at most what leaves the output pane 9,
/// or 3 on a short screen where the list would lose its 8) and the output pane the rest.
Panes screen_layout(Rect area, const app::App& app);

/// The output pane's text area on a screen of `area`, and how far it scrolls.
app::OutputView output_view(Rect area, const app::App& app);

/// The inner size of the output pane on a screen of `area` while a live top streams.
tasks::WindowSize top_pane_size(Rect area, const app::App& app);

/// Draws one complete frame of the application into `buffer`: the process list, the
/// Details pane, the output pane, the footer and, while a request waits for sudo, the
/// permission pop-up. Keeps no state between frames and never fails.
void draw_ui(Buffer& buffer, const app::App& app);

/// Label padded to 11 characters in bold yellow, then the value in the default style.
Line detail_line(std::string_view label, std::string_view value);

/// The footer text: the mode, the key hints and the status (behind a spinner while a run
/// is going; a record run's status counts its seconds down). When that is wider than `width`
/// the hints shrink to their keys, then give way to the status; while a run is active they
/// stay, and the status is cut. While the filter prompt is open the filter's end and the
/// cursor always show.
std::string footer_text(const app::App& app, int width = std::numeric_limits<int>::max());

/// True when `area` is below the smallest size the interface is drawn at (40×12); only a
/// notice is drawn then, as much of it as fits.
bool too_small(Rect area);

}  // namespace stackpeek::ui
