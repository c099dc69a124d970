#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "discovery/process_info.h"

namespace stackpeek::discovery {

/// True for "python", "python.exe" and "python" followed by a numeric character and more.
/// `word` must already be ASCII-lower-cased.
bool is_python_name(std::string_view word);

/// True when the joined arguments mention torchrun, torch.distributed.run or .launch.
bool is_torch_launcher(const std::vector<std::string>& cmd);

/// The Python test over the fields it needs: the kernel's name, the executable path
/// bytes (nothing when unreadable) and the command line.
bool is_python_process(std::string_view name, const std::optional<std::string>& exe,
                       const std::vector<std::string>& cmd);

/// True when the process's own executable is a Python interpreter (by its file name, or by
/// the kernel's name when the executable cannot be read): what py-spy can read. A launcher
/// that merely names Python among its arguments is not one.
bool is_python_interpreter(std::string_view name, const PathOrMessage& exe);

}  // namespace stackpeek::discovery
