#pragma once

#include <string>
#include <vector>

#include "common/error.h"
#include "common/run_record.h"
#include "report/final_stacks.h"
#include "report/process_facts.h"
#include "report/record_run.h"
#include "report/report_dir.h"

namespace stackpeek::report {

/// What a report adds to its commands' records: the run and every process's facts.
struct RunDetails {
  RecordRun run;
  std::vector<ProcessFacts> facts;
  std::optional<FinalStacks> final_stacks;  // the stacks when sampling ended, when taken
};

/// Reads every process's flame graph (raw/pid-N.svg), writes its folded stacks
/// (profiles/pid-N.folded) and gathers the facts of each process. A graph that cannot be
/// read leaves a note in its facts, never an error. `final_dumps` are the dumps taken as
/// sampling ended (see final_stacks), in the target's order; empty when none were.
RunDetails gather_details(const ReportDir& dir, const std::vector<RunRecord>& records,
                          RecordRun run, std::vector<RunRecord> final_dumps = {},
                          stacks::StackHistory* history = nullptr);

/// The text of report.md for these raw records and run records; with details, the header
/// says when the run was canceled and the sections "Processes", "Where the time went",
/// "Across the group" and "Stacks when sampling ended" (when taken) follow the commands.
std::string render_markdown(const ReportDir& dir, const std::vector<std::filesystem::path>& raw,
                            const std::vector<RunRecord>& records,
                            const RunDetails* details = nullptr);

/// The text of report.json (sorted keys, two-space indent, no final line feed); with
/// details, also "processes" and "profiles" (see facts_json.h), and "final_stacks" (see
/// final_stacks.h) when taken.
std::string render_json(const ReportDir& dir, const std::vector<std::filesystem::path>& raw,
                        const std::vector<RunRecord>& records, const RunDetails* details = nullptr);

/// Writes report.md, then report.json, then with details of two or more profiled
/// processes group.svg, into the report folder, each whole or not at all (see
/// write_file_whole); stops at the first error.
Result<void> write_report(const ReportDir& dir, const std::vector<RunRecord>& records,
                          const RunDetails* details = nullptr);

}  // namespace stackpeek::report
