#pragma once

#include <optional>
#include <vector>

#include "common/run_record.h"
#include "tasks/py_spy.h"

namespace stackpeek::cli {

/// The records of a finished run, and the signal that stopped it early.
struct RunOutcome {
  std::vector<RunRecord> records;      // one per command, in command order
  std::optional<int> stopped_by;       // SIGINT, SIGTERM or SIGHUP when one arrived
  std::vector<RunRecord> final_dumps;  // see tasks::spawn_capture_worker
};

/// Catches SIGINT, SIGTERM and SIGHUP while it lives and then restores what was there
/// before. Scopes nest: only the outermost one starts afresh and restores.
class StopSignals {
 public:
  StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;
  ~StopSignals();
};

/// The stop signal that arrived since the outermost StopSignals began; none otherwise.
std::optional<int> caught_stop_signal();

/// Runs every command at once through the capture worker and waits for all of them.
/// SIGINT, SIGTERM or SIGHUP during the run cancels it (py-spy gets SIGINT, then SIGKILL
/// after 2 s), so no command outlives the program; the records then tell how each ended.
/// The `final_dumps` commands run once the commands have ended, a second stop signal
/// skips or kills them.
RunOutcome run_commands(std::vector<tasks::SpyCommand> commands,
                        std::vector<tasks::SpyCommand> final_dumps = {});

/// True when every record is a Success.
bool all_succeeded(const std::vector<RunRecord>& records);

}  // namespace stackpeek::cli
