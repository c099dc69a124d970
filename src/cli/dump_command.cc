#include <fmt/format.h>

#include "app/runs.h"
#include "cli/commands.h"
#include "cli/dump_line.h"
#include "cli/output.h"
#include "cli/run_commands.h"
#include "cli/run_setup.h"

namespace stackpeek::cli {
namespace {

bool print_json(const discovery::RunTarget& target, const std::vector<RunRecord>& records) {
  std::string text;
  for (size_t i = 0; i < target.processes.size(); ++i) {
    const discovery::TargetProcess& process = target.processes[i];
    const auto result =
        stacks::dump_result_from_record(records[i], process.pid, process.rank, target.host);
    text += json_line(dump_line_json(target.host, process, records[i], result));
    text += '\n';
  }
  return write_stdout(text);
}

// The comparison names hosts only when one was given: on one machine pids say enough.
bool print_text(const std::optional<std::string>& host, const discovery::RunTarget& target,
                const std::vector<RunRecord>& records) {
  std::vector<stacks::DumpResult> results;
  for (size_t i = 0; i < target.processes.size(); ++i) {
    results.push_back(stacks::dump_result_from_record(records[i], target.processes[i].pid,
                                                      target.processes[i].rank, host.value_or("")));
  }
  std::vector<std::string> lines =
      stacks::compare_stack_lines(results, nullptr, stacks::StackHistory::Clock::now());
  for (auto& line : app::record_lines(records)) lines.push_back(std::move(line));
  return write_lines(lines);
}

}  // namespace

int run_dump(const Options& options) {
  const auto setup = set_up_run(options, "dump");
  if (!setup) return setup.error();
  const discovery::RunTarget& target = setup->target;
  progress(fmt::format("Dumping {} process(es)…", target.processes.size()));
  const RunOutcome outcome = run_commands(tasks::build_spy_commands(
      setup->program, tasks::SpyMode::Dump, target.pids(), false, std::nullopt));
  const bool printed = options.json ? print_json(target, outcome.records)
                                    : print_text(options.host, target, outcome.records);
  if (outcome.stopped_by) return 128 + *outcome.stopped_by;
  return printed && all_succeeded(outcome.records) ? kExitOk : kExitFailed;
}

}  // namespace stackpeek::cli
