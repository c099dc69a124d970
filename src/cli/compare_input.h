#pragma once

// The input of `compare`: dump lines and merged comparisons, read line by line into one
// merge, so memory grows with the distinct stacks and the processes, not with the input.

#include <cstddef>
#include <string>
#include <string_view>

#include "cli/dump_line.h"
#include "common/error.h"
#include "stacks/stack_merge.h"

namespace stackpeek::cli {

struct CompareInput {
  stacks::StackMerger merger;
  size_t lines = 0;    // lines merged
  size_t skipped = 0;  // lines that were neither a dump line nor a comparison
};

/// Adds what one line holds to the merge.
void merge_line(CompareLine line, stacks::StackMerger& merger);

/// Reads `fd` to its end into `input`. Each skipped line is reported on standard error as
/// "NAME:LINE: skipped: REASON" for the first few of all sources (see
/// report_skipped_rest for the others).
Result<void> read_compare_input(int fd, std::string_view name, CompareInput& input);

/// "N more lines skipped", when more were skipped than reported one by one.
void report_skipped_rest(const CompareInput& input);

}  // namespace stackpeek::cli
