#include <fmt/format.h>

#include "app/runs.h"
#include "cli/commands.h"
#include "cli/dump_line.h"
#include "cli/output.h"
#include "cli/run_commands.h"
#include "cli/run_setup.h"
#include "cli/snapshot.h"
#include "cli/targets.h"

namespace stackpeek::cli {
namespace {

DumpedProcess dumped_process(const TargetProcess& target) {
  DumpedProcess process{
      target.pid, target.group, known_rank(target.info), known_world_size(target.info), {}};
  if (target.info) process.command = target.info->cmd;
  return process;
}

bool print_json(const std::string& host, const std::vector<TargetProcess>& targets,
                const std::vector<RunRecord>& records) {
  std::string text;
  for (size_t i = 0; i < targets.size(); ++i) {
    const DumpedProcess process = dumped_process(targets[i]);
    const auto result = tasks::dump_result_from_record(records[i], process.pid, process.rank, host);
    text += json_line(dump_line_json(host, process, records[i], result));
    text += '\n';
  }
  return write_stdout(text);
}

// The comparison names hosts only when one was given: on one machine pids say enough.
bool print_text(const std::optional<std::string>& host, const std::vector<TargetProcess>& targets,
                const std::vector<RunRecord>& records) {
  std::vector<tasks::DumpResult> results;
  for (size_t i = 0; i < targets.size(); ++i) {
    results.push_back(tasks::dump_result_from_record(
        records[i], targets[i].pid, known_rank(targets[i].info), host.value_or("")));
  }
  std::vector<std::string> lines =
      tasks::compare_stack_lines(results, nullptr, tasks::StackHistory::Clock::now());
  for (auto& line : app::record_lines(records)) lines.push_back(std::move(line));
  return write_lines(lines);
}

}  // namespace

int run_dump(const Options& options) {
  const auto setup = set_up_run(options, "dump");
  if (!setup) return setup.error();
  const auto& targets = setup->targets;
  progress(fmt::format("Dumping {} process(es)…", targets.size()));
  const RunOutcome outcome = run_commands(tasks::build_spy_commands(
      setup->program, tasks::SpyMode::Dump, setup->pids(), false, std::nullopt));
  const bool printed =
      options.json ? print_json(options.host.value_or(local_host_name()), targets, outcome.records)
                   : print_text(options.host, targets, outcome.records);
  if (outcome.stopped_by) return 128 + *outcome.stopped_by;
  return printed && all_succeeded(outcome.records) ? kExitOk : kExitFailed;
}

}  // namespace stackpeek::cli
