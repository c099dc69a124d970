#include <fmt/format.h>

#include <chrono>
#include <filesystem>

#include "cli/commands.h"
#include "cli/output.h"
#include "cli/run_commands.h"
#include "cli/run_setup.h"
#include "cli/snapshot.h"
#include "common/util.h"
#include "report/facts_json.h"
#include "report/json_values.h"
#include "report/report_dir.h"
#include "report/report_sections.h"
#include "report/report_writer.h"

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

uint64_t unix_seconds() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(now).count());
}

}  // namespace

int run_record(const Options& options) {
  const auto setup = set_up_run(options, "record");
  if (!setup) return setup.error();
  const std::vector<uint32_t> pids = setup->target.pids();
  std::error_code error;
  std::filesystem::path parent = std::filesystem::absolute(options.dir, error);
  if (error) parent = options.dir;
  auto dir = report::create_report_dir_in(parent, unix_seconds(), setup->target.label);
  if (!dir) {
    diagnose("could not create a report folder in " + options.dir + ": " + dir.error().message());
    return kExitFailed;
  }
  const std::string folder = path_text(dir->report_directory);
  progress(fmt::format("Recording {} for {} s into {}; Ctrl+C stops early, a second Ctrl+C at once",
                       plural(pids.size(), "process", "processes"), options.duration, folder));
  const auto started = std::chrono::steady_clock::now();
  RunOutcome outcome = run_commands(
      tasks::build_spy_commands(setup->program, tasks::SpyMode::Record, pids, false,
                                dir->raw_directory, options.duration),
      tasks::build_spy_commands(setup->program, tasks::SpyMode::Dump, pids, false, std::nullopt));
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
  const report::RecordRun run{.target = setup->target,
                              .duration_requested_s = static_cast<double>(options.duration),
                              .duration_s = elapsed.count(),
                              .canceled = outcome.stopped_by.has_value()};
  const report::RunDetails details =
      report::gather_details(*dir, outcome.records, run, std::move(outcome.final_dumps));
  const auto written = report::write_report(*dir, outcome.records, &details);
  if (!written) {
    diagnose("could not write the report in " + folder + ": " + written.error().message());
  }
  explain(details);
  const bool printed = print_result(options.json, folder, pids, outcome.records, details);
  if (outcome.stopped_by) return 128 + *outcome.stopped_by;
  return written && printed && all_succeeded(outcome.records) ? kExitOk : kExitFailed;
}

}  // namespace stackpeek::cli
