#pragma once

// A dump run's steps, the same for the screen, `dump` and a watch round: build one
// `py-spy dump` per process, then finish with the records: parse them, compare the stacks
// and take them into the history, so that a later dump tells how long each has been
// unchanged.

#include <filesystem>
#include <string>
#include <vector>

#include "common/run_record.h"
#include "discovery/run_target.h"
#include "stacks/stack_compare.h"
#include "stacks/stack_history.h"
#include "tasks/py_spy.h"

namespace stackpeek::workflow {

/// One dump command per process of the target, in its order.
std::vector<tasks::SpyCommand> dump_commands(const discovery::RunTarget& target,
                                             const std::filesystem::path& program,
                                             bool use_sudo = false);

/// One dump command per pid, in its order (a target's pids, known before its snapshot).
std::vector<tasks::SpyCommand> dump_commands(const std::vector<uint32_t>& pids,
                                             const std::filesystem::path& program,
                                             bool use_sudo = false);

/// Every record parsed, in target order; `host` names the processes in comparisons (empty:
/// by pid alone).
std::vector<stacks::DumpResult> dump_results(const std::vector<discovery::TargetProcess>& processes,
                                             const std::vector<RunRecord>& records,
                                             const std::string& host);

/// A finished dump: the parsed records and their comparison.
struct DumpRound {
  std::vector<stacks::DumpResult> results;
  stacks::StackComparison comparison;
};

/// Parses and compares one record per target process, and takes every parsed stack into
/// `history`, which marks those unchanged since the last dump.
DumpRound finish_dump(const discovery::RunTarget& target, const std::vector<RunRecord>& records,
                      stacks::StackHistory& history, const std::string& host);

}  // namespace stackpeek::workflow
