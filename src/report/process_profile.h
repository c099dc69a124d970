#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "report/report_dir.h"
#include "stacks/flame_graph.h"
#include "stacks/profile_summary.h"

namespace stackpeek::report {

/// What the report knows of one process's flame graph.
struct ProcessProfile {
  uint32_t pid = 0;
  std::optional<stacks::ProfileSummary> summary;    // none when the graph was not read
  std::shared_ptr<const stacks::FlameGraph> graph;  // the graph read, for the group's picture
  std::string folded;  // "profiles/pid-N.folded" once written; empty otherwise
  std::string note;    // why there is no summary or no folded file; empty when all is well
};

/// Reads raw/pid-N.svg of the report folder, writes its folded stacks to
/// profiles/pid-N.folded and summarizes it. A missing, unreadable or malformed graph
/// gives a profile with a one-line note instead.
ProcessProfile load_profile(const ReportDir& dir, uint32_t pid);

}  // namespace stackpeek::report
