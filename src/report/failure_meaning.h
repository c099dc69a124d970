#pragma once

#include <optional>
#include <string>

#include "common/run_record.h"

namespace stackpeek::report {

/// What a failed py-spy record command means, in one plain sentence: for "No stack counts
/// found", that the process was idle for the whole run. Nothing for a success.
std::optional<std::string> failure_meaning(const RunRecord& record, bool canceled);

}  // namespace stackpeek::report
