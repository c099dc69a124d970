#pragma once

// The JSON form of `stackpeek compare --json`, one line that `compare` reads again, so the
// comparisons of groups of nodes merge into the comparison of them all:
//
//   {"processes": 1024, "hosts": 64, "distinct": 2, "failed": 0, "unparsed": 0,
//    "jobs": ["torch:10.0.0.1:29500:world1024"],   (the jobs of ranked processes)
//    "missing": [{"job": "torch:...", "ranks": [2, ...]}, ...],
//    "missing_ranks": [2, ...],          (the ranks of "missing" when one job misses some)
//    "buckets": [{"kind": "stack" | "failed" | "unparsed",
//                 "members": [{"host": "node1", "pid": 4242, "rank": 3 | null,
//                              "world_size": 8 | null, "job": "torch:..." | "",
//                              "unchanged": true, "unchanged_s": 12 | null}, ...],
//                 "threads": [...]     (stack: the first member's threads; each frame
//                                       also has "lines": every member's, ascending)
//                 "error": "..."       (failed: the first member's message)
//                 "raw": "..."}]}      (unparsed: the output as printed)
//
// Buckets come in the order of the text form: smallest first. "failed" and "unparsed" count
// processes. Reading it back, only "buckets" counts: the rest is worked out again.

#include <nlohmann/json.hpp>

#include "stacks/stack_classes.h"

namespace stackpeek::cli {

nlohmann::json classes_json(const stacks::StackClasses& classes);

}  // namespace stackpeek::cli
