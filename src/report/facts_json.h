#pragma once

#include <nlohmann/json.hpp>
#include <vector>

#include "report/process_facts.h"

namespace stackpeek::report {

/// report.json's "processes": per process pid, rank, world_size, host, command (array),
/// runtime, samples, samples_expected (at py-spy's rate over its time), idle_percent
/// (null unless well below expected), outcome, exit_code, signal, canceled, duration_requested_s,
/// duration_s and meaning (null when it did not fail); unknown values are null.
nlohmann::json processes_json(const std::vector<ProcessFacts>& facts);

/// report.json's "profiles": per process pid, samples, folded (the file below the report
/// folder, or null), top_functions (function, own, total; at most 10), heaviest_stack
/// (innermost first) with heaviest_samples, and note (why something is missing, or null).
nlohmann::json profiles_json(const std::vector<ProcessFacts>& facts);

}  // namespace stackpeek::report
