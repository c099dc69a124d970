#pragma once

#include "app/app.h"
#include "app/key_event.h"

namespace stackpeek::app {

/// The checks before a dump, record or top request; starts it or opens the prompt.
void request_run(App& app, SpyMode mode);

/// Starts the pending request of the prompt as the user, without sudo.
void run_without_sudo(App& app);

/// Continues the pending request after "sudo -v" ended with `validation`.
void resume_after_sudo(App& app, SpyMode mode, const Selection& selection,
                       const RunRecord& validation);

/// Flips the selected group between showing and hiding its members.
void toggle_group(App& app);

/// Takes a new snapshot and rebuilds the groups; failures go to the status line. The
/// selection stays on the same process or group, or at the same position when it is gone;
/// collapsed groups stay collapsed.
void refresh(App& app);

/// Moves the selection one row down or up, stopping at either end.
void move_selection(App& app, int delta);

/// Selects the first or the last row of the list.
void select_first(App& app);
void select_last(App& app);

/// Opens the filter prompt: keys type into the filter until Enter keeps it, or Esc (or
/// Ctrl+C) puts back the filter that was in force.
void start_filter(App& app);
/// Closes the prompt and shows every group again.
void clear_filter(App& app);
/// Applies a key typed into the open prompt: characters and Backspace edit the filter (the
/// list and the status's count follow at once, the selection staying on its process or group
/// while it shows).
void edit_filter(App& app, KeyEvent key);

/// Switches the output pane between its place in the layout and the whole screen.
void toggle_zoom(App& app);

/// Scrolls the output pane by `delta` lines, staying within 0 and 65535.
void scroll_output(App& app, int delta);
/// Scrolls the output pane by its height less one line, so one line stays in view.
void page_output(App& app, int direction);
/// Scrolls the output pane to its first line, or until its last line shows.
void scroll_output_to_first(App& app);
void scroll_output_to_last(App& app);

/// Leaves the sudo prompt without running anything.
void cancel_prompt(App& app);

/// Stops the active run's commands without waiting for them. The run stays active until its
/// records arrive; drain_events then completes it as cancelled (a record run still writes
/// its report and lists its folder).
void cancel_run(App& app);

}  // namespace stackpeek::app
