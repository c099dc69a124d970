#pragma once

#include <sys/types.h>

#include <string>

#include "common/error.h"
#include "common/run_record.h"
#include "tasks/py_spy.h"

namespace stackpeek::tasks {

/// Starts `spec` with standard input from /dev/null, both output streams captured
/// through close-on-exec pipes drained together, and waits for it. Never throws; a start
/// failure is a SpawnFailed record whose stderr is the OS text ("... (os error N)").
RunRecord capture_process(const ProcessSpec& spec, std::string command_line);

/// capture_process of to_process(command), with command_line(command) as its text.
RunRecord run_captured(const SpyCommand& command);

}  // namespace stackpeek::tasks
