#pragma once

// JSON form of parsed py-spy dumps, shared by the screen and the headless compare command.
// Also compiled by the fuzz build (clang 14, C++20): keep to C++20 here.
//
//   thread: {"id": "165", "name": "MainThread" | null, "state": "idle" | "active" |
//            "active+gil", "frames": [frame, ...]}          (frames innermost first)
//   frame:  {"function": "forward", "file": "model.py", "line": 88 | null}
//
// Reading is lenient where writers may differ: "id" may also be a non-negative integer
// (taken as its decimal text), "name" and "line" may be missing (= null), "frames" may be
// missing (= no frames), and unknown keys are ignored. Everything else must be as above.

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "stacks/dump_parser.h"

namespace stackpeek::stacks {

/// nlohmann's conversion hooks, so `nlohmann::json j = frame;` and `j.get<StackFrame>()`
/// work. from_json throws nlohmann::json::exception (type_error or out_of_range) on a
/// value of the wrong shape.
void to_json(nlohmann::json& out, const StackFrame& frame);
void from_json(const nlohmann::json& in, StackFrame& frame);
void to_json(nlohmann::json& out, const ThreadStack& thread);
void from_json(const nlohmann::json& in, ThreadStack& thread);

/// The threads as a JSON array, in order.
nlohmann::json threads_to_json(const std::vector<ThreadStack>& threads);

/// The threads of a JSON array; none when `value` is not an array of threads as described
/// above, with a one-line reason in `*error` when `error` is given. Never throws.
std::optional<std::vector<ThreadStack>> threads_from_json(const nlohmann::json& value,
                                                          std::string* error = nullptr);

}  // namespace stackpeek::stacks
