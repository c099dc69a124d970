#include <fmt/format.h>

#include <filesystem>

#include "cli/commands.h"
#include "cli/output.h"
#include "cli/run_commands.h"
#include "cli/run_setup.h"
#include "cli/snapshot.h"
#include "common/util.h"
#include "report/facts_json.h"
#include "report/json_values.h"
#include "report/report_sections.h"
#include "workflow/record.h"

namespace stackpeek::cli {
namespace {

using nlohmann::json;
using report::or_null;

json record_json(uint32_t pid, const RunRecord& record) {
  return {{"pid", pid},
          {"command_line", record.command_line},
          {"status", status_name(record.status)},
          {"exit_code", or_null(record.exit_code)},
          {"signal", or_null(record.signal)},
          {"stdout", record.stdout_text},
          {"stderr", record.stderr_text}};
}

bool print_result(bool as_json, const std::string& folder, const std::vector<uint32_t>& pids,
                  const std::vector<RunRecord>& records, const report::RunDetails& details) {
  if (!as_json) return write_lines({folder});
  json list = json::array();
  for (size_t i = 0; i < records.size() && i < pids.size(); ++i)
    list.push_back(record_json(pids[i], records[i]));
  return write_stdout(json_line({{"report_directory", folder},
                                 {"records", std::move(list)},
                                 {"processes", report::processes_json(details.facts)},
                                 {"profiles", report::profiles_json(details.facts)}}) +
                      "\n");
}

// The summary of the profiles while on a terminal; every failure in plain words always.
void explain(const report::RunDetails& details) {
  const auto* final = details.final_stacks ? &*details.final_stacks : nullptr;
  for (const auto& line : report::summary_lines(details.facts, 0, final)) {
    if (!line.empty()) progress(line);
  }
  for (const auto& facts : details.facts) {
    if (facts.meaning) diagnose(fmt::format("pid {}: {}", facts.process.pid, *facts.meaning));
  }
}

}  // namespace

int run_record(const Options& options) {
  const auto setup = set_up_run(options, "record");
  if (!setup) return setup.error();
  std::error_code error;
  std::filesystem::path parent = std::filesystem::absolute(options.dir, error);
  if (error) parent = options.dir;
  auto plan = workflow::plan_record({.target = setup->target,
                                     .program = setup->program,
                                     .parent = parent,
                                     .seconds = options.duration,
                                     .use_sudo = false});
  if (!plan) {
    diagnose("could not create a report folder in " + options.dir + ": " + plan.error().message());
    return kExitFailed;
  }
  const std::string folder = path_text(plan->dir.report_directory);
  progress(fmt::format("Recording {} for {} s into {}; Ctrl+C stops early, a second Ctrl+C at once",
                       plural(plan->commands.size(), "process", "processes"), options.duration,
                       folder));
  RunOutcome outcome = run_commands(plan->commands, plan->final_dumps);
  const workflow::RecordReport report = workflow::finish_record(
      *plan, outcome.records, outcome.stopped_by.has_value(), std::move(outcome.final_dumps));
  if (!report.written) {
    diagnose("could not write the report in " + folder + ": " + report.written.error().message());
  }
  explain(report.details);
  const bool printed =
      print_result(options.json, folder, plan->target.pids(), outcome.records, report.details);
  if (outcome.stopped_by) return 128 + *outcome.stopped_by;
  return report.written && printed && all_succeeded(outcome.records) ? kExitOk : kExitFailed;
}

}  // namespace stackpeek::cli
