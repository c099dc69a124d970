#pragma once

// The JSON form of `stackpeek compare --json`:
//
//   {"processes": 1024, "hosts": 64, "distinct": 2, "failed": 0, "unparsed": 0,
//    "missing_ranks": [2, ...],
//    "buckets": [{"kind": "stack" | "failed" | "unparsed",
//                 "members": [{"host": "node1", "pid": 4242, "rank": 3 | null,
//                              "unchanged": true, "unchanged_s": 12 | null}, ...],
//                 "threads": [...]     (stack: the first member's threads; each frame
//                                       also has "lines": every member's, ascending)
//                 "error": "..."       (failed: the first member's message)
//                 "raw": "..."}]}      (unparsed: the output as printed)
//
// Buckets come in the order of the text form: smallest first.

#include <nlohmann/json.hpp>
#include <vector>

#include "stacks/stack_compare.h"

namespace stackpeek::cli {

nlohmann::json comparison_json(const std::vector<stacks::DumpResult>& results);

}  // namespace stackpeek::cli
