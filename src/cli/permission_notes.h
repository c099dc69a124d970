#pragma once

#include <span>
#include <string_view>
#include <vector>

#include "common/run_record.h"
#include "tasks/py_spy.h"

namespace stackpeek::cli {

/// Keeps the arguments the program was given (after its name), for the sudo command line
/// that permission advice offers.
void remember_arguments(std::span<const std::string_view> args);

/// Explains on standard error why py-spy was refused a process's memory, one line per cause,
/// each cause once for the whole program (a watch meets the same refusal every round).
void explain_permission_failures(const std::vector<tasks::SpyCommand>& commands,
                                 const std::vector<RunRecord>& records);

}  // namespace stackpeek::cli
