#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "discovery/process_info.h"

namespace stackpeek::discovery {

/// Classifies a process from its executable, falling back to a path-like first argument.
RuntimeInfo detect_runtime(const PathOrMessage& exe, const std::vector<std::string>& cmd);

/// Classifies one interpreter path (path text only; no file is opened).
RuntimeInfo classify_path(std::string_view path);

/// "LABEL[ VERSION] - ROOT", e.g. "system 3.12 - /usr".
std::string format_runtime(const RuntimeInfo& runtime);

/// The version part of an interpreter file name: "python3.12" gives "3.12".
std::optional<std::string> version_from_file_name(std::string_view file_name);

}  // namespace stackpeek::discovery
