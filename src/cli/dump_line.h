#pragma once

// Reading back the lines of `stackpeek dump --json`; report/dump_line_json.h writes them
// and describes their format.

#include <chrono>
#include <cstdint>
#include <expected>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/run_record.h"
#include "discovery/run_target.h"
#include "report/dump_line_json.h"
#include "stacks/stack_compare.h"

namespace stackpeek::cli {

/// The JSON object of one process's dump (kept with the report files, which a watch's
/// evidence shares).
using report::dump_line_json;

/// The comparison input of one line: an optional "NAME: " label (as pdsh puts before each
/// line; it then names the host, unless it is only digits: the task number of
/// `srun --label`), then one object as above. Lenient about what compare does not need. A one-line
/// reason when the line is not such an object.
std::expected<stacks::DumpResult, std::string> parse_dump_line(std::string_view line);

}  // namespace stackpeek::cli
