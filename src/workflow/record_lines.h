#pragma once

// The text of finished commands, as the output pane and `dump` show it.

#include <string>
#include <vector>

#include "common/run_record.h"

namespace stackpeek::workflow {

/// The lines of finished commands; a failure tells how the command ended.
std::vector<std::string> record_lines(const std::vector<RunRecord>& records);

}  // namespace stackpeek::workflow
