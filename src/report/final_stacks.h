#pragma once

// The stacks every process of a record showed when its sampling ended: one `py-spy dump`
// each, compared as the dump command compares them. py-spy record leaves idle samples
// out, so a hung job's waiting processes have no profile; their final stacks still say
// which process is stuck, and where.

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "common/run_record.h"
#include "discovery/run_target.h"
#include "stacks/stack_compare.h"
#include "stacks/stack_history.h"

namespace stackpeek::report {

struct FinalStacks {
  std::vector<RunRecord> records;  // one per process, in the target's order
  std::vector<stacks::DumpResult> results;
  stacks::StackComparison comparison;
};

/// The comparison of the final dumps, records[i] being the dump of target.processes[i];
/// with a history, buckets say "unchanged for" where it knows. None when no dump was
/// taken or the counts differ.
std::optional<FinalStacks> final_stacks(const discovery::RunTarget& target,
                                        std::vector<RunRecord> records,
                                        stacks::StackHistory* history);

/// The comparison as `dump` prints it (odd ones first), fitting `width` columns (0: any),
/// without its closing empty line.
std::vector<std::string> final_stack_lines(const FinalStacks& stacks, size_t width);

/// One sentence naming the odd ones out and the innermost function they are in, next to
/// where the largest group is ("Odd one out: rank 3 (pid 42) in `load_batch`, while the
/// other 3 processes are in `all_reduce`."); none when all stacks match or none parsed.
std::optional<std::string> odd_one_out_text(const FinalStacks& stacks);

/// "## Stacks when sampling ended" of report.md.
std::vector<std::string> final_stacks_section(const FinalStacks& stacks);

/// report.json's "final_stacks": "comparison" (the lines), "odd_one_out" (text or null)
/// and "dumps" (one dump JSON line per process, see dump_line_json.h).
nlohmann::json final_stacks_json(const FinalStacks& stacks, const discovery::RunTarget& target);

}  // namespace stackpeek::report
