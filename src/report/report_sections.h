#pragma once

// The sections report.md gains from the processes' facts and profiles, and the summary that
// opens the output pane (or standard error) when a record run ends.

#include <string>
#include <vector>

#include "report/final_stacks.h"
#include "report/process_facts.h"

namespace stackpeek::report {

/// "## Processes": one table row per process, then one line per failure saying what it
/// means, then per process its samples against those expected (see samples_text).
std::vector<std::string> processes_section(const std::vector<ProcessFacts>& facts);

/// "## Where the time went": per process its top 10 functions by own samples and its
/// heaviest stack (innermost 6 frames).
std::vector<std::string> time_section(const std::vector<ProcessFacts>& facts);

/// "## Across the group" for two or more processes: the processes grouped by their heaviest
/// stack, odd ones first, and the functions whose share differs most; when fewer than two
/// have a profile, the comparison of the final stacks instead (when taken); empty for
/// fewer processes.
std::vector<std::string> group_section(const std::vector<ProcessFacts>& facts,
                                       const FinalStacks* final = nullptr);

/// The lines that open the output pane when a record run ends: for two or more processes
/// the final stacks compared (when taken) with the odd one out named, then the grouping by
/// heaviest stack and the functions that differ most; for one its top 5 functions; a line
/// per process without a profile. Lines fit `width` columns (0: any).
std::vector<std::string> summary_lines(const std::vector<ProcessFacts>& facts, size_t width,
                                       const FinalStacks* final = nullptr);

/// "12 samples of 400 expected, idle 97 % of the time", "400 samples of 400 expected",
/// "no samples of 400 expected", or without a count expected "1 sample".
std::string samples_text(const ProcessFacts& facts);

/// "Canceled after 4 s of 30".
std::string canceled_text(const RecordRun& run);

}  // namespace stackpeek::report
