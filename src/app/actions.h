#pragma once

#include "app/app.h"

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

/// Takes a new snapshot and rebuilds the groups; failures go to the status line.
void refresh(App& app);

/// Moves the selection one row down or up, stopping at either end.
void move_selection(App& app, int delta);

/// Scrolls the output pane by `delta` lines, staying within 0 and 65535.
void scroll_output(App& app, int delta);

/// Leaves the sudo prompt without running anything.
void cancel_prompt(App& app);

/// Stops the active run's commands without waiting for them. The run stays active until its
/// records arrive; drain_events then completes it as cancelled (a record run still writes
/// its report and lists its folder).
void cancel_run(App& app);

}  // namespace stackpeek::app
