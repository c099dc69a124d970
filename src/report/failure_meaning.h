#pragma once

#include <optional>
#include <string>

#include "common/run_record.h"

namespace stackpeek::report {

/// True when the record says that py-spy was not allowed to read the process.
bool is_permission_denied(const RunRecord& record);

/// What a failed py-spy record command means, in one plain sentence: for "No stack counts
/// found", that the process was idle for the whole run. Nothing for a success.
std::optional<std::string> failure_meaning(const RunRecord& record, bool canceled);

}  // namespace stackpeek::report
