#pragma once

// One line of `stackpeek dump --json` (JSON Lines, one object per process), as the dump
// command prints it, a watch's evidence keeps it and `compare` reads it back
// (cli/dump_line.h); the one description of the format:
//
//   {"host": "node1", "pid": 4242, "group": "torch:..." | null, "rank": 3 | null,
//    "world_size": 8 | null, "command": ["python3", "train.py"], "status": "Success",
//    "exit_code": 0 | null, "signal": null | 9, "stderr": "",
//    "unchanged_s": 12                     (dump --repeat: seconds the stack has been exactly
//                                           the same; absent when it is new or changed)
//    "threads": [thread, ...]}            (a dump that parsed; see stacks/dump_json.h)
//    or "raw": "text as py-spy printed it" (a dump that did not parse)
//
// A failed dump has neither "threads" nor "raw"; its "stderr" says why.

#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "common/run_record.h"
#include "discovery/run_target.h"
#include "stacks/stack_compare.h"

namespace stackpeek::report {

/// The JSON object of one process's dump.
/// `unchanged`, when given, is how long the process has shown the same stack
/// ("unchanged_s").
nlohmann::json dump_line_json(const std::string& host, const discovery::TargetProcess& process,
                              const RunRecord& record, const stacks::DumpResult& result,
                              std::optional<std::chrono::seconds> unchanged = std::nullopt);

}  // namespace stackpeek::report
