#pragma once

#include <string>
#include <vector>

#include "app/app.h"

namespace stackpeek::app {

/// Starts a dump, record or top run, or refuses it with a status message.
void start_run(App& app, SpyMode mode, const Selection& selection, bool use_sudo);

/// Takes the active run's waiting events without blocking; completes a finished run.
void drain_events(App& app);

/// One command per process of the selection, in member order; empty when the group is gone.
std::vector<tasks::SpyCommand> commands_for_selection(
    const std::vector<discovery::ProcessGroup>& groups, const std::filesystem::path& program,
    SpyMode mode, const Selection& selection, bool use_sudo,
    const std::optional<report::ReportDir>& report_dir);

/// The output-pane lines of finished commands.
std::vector<std::string> record_lines(const std::vector<RunRecord>& records);

}  // namespace stackpeek::app
