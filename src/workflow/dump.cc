#include "workflow/dump.h"

namespace stackpeek::workflow {

std::vector<tasks::SpyCommand> dump_commands(const discovery::RunTarget& target,
                                             const std::filesystem::path& program, bool use_sudo) {
  return dump_commands(target.pids(), program, use_sudo);
}

std::vector<tasks::SpyCommand> dump_commands(const std::vector<uint32_t>& pids,
                                             const std::filesystem::path& program, bool use_sudo) {
  return tasks::build_spy_commands(program, tasks::SpyMode::Dump, pids, use_sudo, std::nullopt);
}

std::vector<stacks::DumpResult> dump_results(const std::vector<discovery::TargetProcess>& processes,
                                             const std::vector<RunRecord>& records,
                                             const std::string& host) {
  std::vector<stacks::DumpResult> results;
  results.reserve(records.size());
  for (size_t i = 0; i < processes.size() && i < records.size(); ++i) {
    const discovery::TargetProcess& process = processes[i];
    results.push_back(stacks::dump_result_from_record(records[i], process.pid, process.rank, host,
                                                      process.missing_world()));
  }
  return results;
}

DumpRound finish_dump(const discovery::RunTarget& target, const std::vector<RunRecord>& records,
                      stacks::StackHistory& history, const std::string& host) {
  DumpRound round{.results = dump_results(target.processes, records, host), .comparison = {}};
  round.comparison = stacks::compare_stacks(round.results);
  stacks::apply_history(round.comparison, round.results, history,
                        stacks::StackHistory::Clock::now());
  return round;
}

}  // namespace stackpeek::workflow
