#pragma once

// A record run's steps, the same for the screen, `record` and `watch --record`: build the
// commands into a new report folder, then finish with the records the commands left
// (per-process details, folded profiles, report.md and report.json). Every artifact a
// report folder holds besides py-spy's own output is written by finish_record.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "common/error.h"
#include "common/run_record.h"
#include "discovery/run_target.h"
#include "report/report_dir.h"
#include "report/report_writer.h"
#include "tasks/py_spy.h"

namespace stackpeek::workflow {

/// What to record and where.
struct RecordRequest {
  discovery::RunTarget target;
  std::filesystem::path program;  // py-spy
  std::filesystem::path parent;   // the report folder is made inside; empty: the working one
  uint32_t seconds = tasks::kDefaultRecordSeconds;
  bool use_sudo = false;
};

/// A record run ready to start: its folder made and one command per process.
struct RecordPlan {
  report::ReportDir dir;
  discovery::RunTarget target;  // the processes, in command order
  uint32_t seconds = tasks::kDefaultRecordSeconds;
  std::vector<tasks::SpyCommand> commands;
  /// One dump per process, run once sampling ends: the stacks the report compares.
  std::vector<tasks::SpyCommand> final_dumps;
  std::chrono::steady_clock::time_point started;
};

/// Makes the report folder (named after the target's label and the time) and builds the
/// commands.
Result<RecordPlan> plan_record(RecordRequest request);

/// The report of a finished (or canceled) record run.
struct RecordReport {
  report::RunDetails details;
  Result<void> written;  // report.md and report.json
};

/// Writes the report from the records as the commands ended, in command order, and the
/// final dumps (empty when none were taken); the run's time is counted from plan_record to
/// this call. With a history, the final stacks say how long each has been unchanged.
RecordReport finish_record(const RecordPlan& plan, const std::vector<RunRecord>& records,
                           bool canceled, std::vector<RunRecord> final_dumps = {},
                           stacks::StackHistory* history = nullptr);

}  // namespace stackpeek::workflow
