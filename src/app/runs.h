#pragma once

#include <string>
#include <vector>

#include "app/app.h"
#include "workflow/record_lines.h"

namespace stackpeek::app {

/// The status of a cancelled run, from the cancel key until the run has completed.
inline constexpr const char* kCanceledStatus = "Canceled running py-spy command";

/// Starts a dump, record or top run, or refuses it with a status message.
void start_run(App& app, SpyMode mode, const Selection& selection, bool use_sudo);

/// Takes the active run's waiting events without blocking; completes a finished run. Frames
/// that arrive after a cancel are dropped, so the pane keeps the one shown at the cancel.
void drain_events(App& app);

/// After the main loop: completes a run that is still active (its commands already
/// stopped), so that a record run's report is written and listed whatever ended the loop.
/// Records that never came back are described as lost.
void finish_after_loop(App& app);

/// One command per process of the target, in its order; empty when it has no process.
std::vector<tasks::SpyCommand> commands_for_target(
    const discovery::RunTarget& target, const std::filesystem::path& program, SpyMode mode,
    bool use_sudo, const std::optional<report::ReportDir>& report_dir);

using workflow::record_lines;

}  // namespace stackpeek::app
