#pragma once

// One line of `stackpeek dump --json` (JSON Lines, one object per process):
//
//   {"host": "node1", "pid": 4242, "group": "torch:..." | null, "rank": 3 | null,
//    "world_size": 8 | null, "command": ["python3", "train.py"], "status": "Success",
//    "exit_code": 0 | null, "signal": null | 9, "stderr": "",
//    "unchanged_s": 12                     (--repeat: seconds the stack has been exactly
//                                           the same; absent when it is new or changed)
//    "threads": [thread, ...]}            (a dump that parsed; see stacks/dump_json.h)
//    or "raw": "text as py-spy printed it" (a dump that did not parse)
//
// A failed dump has neither "threads" nor "raw"; its "stderr" says why. `compare` also reads
// the line of `compare --json` (see cli/compare_json.h): an object with "buckets".

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
#include "stacks/stack_classes.h"
#include "stacks/stack_compare.h"

namespace stackpeek::cli {

/// The JSON object of one process's dump (kept with the report files, which a watch's
/// evidence shares).
using report::dump_line_json;

/// What one input line of `compare` holds: a process's dump, or the classes of a merge.
struct CompareLine {
  std::optional<stacks::DumpResult> dump;
  std::vector<stacks::StackClass> classes;
};

/// An optional "NAME: " label (as pdsh puts before each line; it then names the host of a
/// dump line, unless it is only digits: the task number of `srun --label`), then one object
/// as above. Lenient about what compare does not need: unknown keys are ignored. A one-line
/// reason when the line is not such an object. `padded` tells that at least kLinePadding
/// bytes (cli/line_reader.h) may be read after the line, which saves a copy.
std::expected<CompareLine, std::string> parse_compare_line(std::string_view line,
                                                           bool padded = false);

/// parse_compare_line for a dump line only.
std::expected<stacks::DumpResult, std::string> parse_dump_line(std::string_view line);

}  // namespace stackpeek::cli
