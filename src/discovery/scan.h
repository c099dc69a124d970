#pragma once

#include <string>
#include <vector>

#include "common/error.h"
#include "discovery/process_info.h"

namespace stackpeek::discovery {

/// One snapshot of the machine's Python processes, sorted by pid. Never fails in practice;
/// processes that vanish mid-scan are skipped.
Result<std::vector<ProcessInfo>> scan_processes();

/// The same over a /proc tree rooted at `proc_root` (fixture trees in tests).
Result<std::vector<ProcessInfo>> scan_processes(const std::string& proc_root);

}  // namespace stackpeek::discovery
