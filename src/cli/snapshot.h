#pragma once

#include <expected>
#include <string>
#include <vector>

#include "discovery/groups.h"

namespace stackpeek::cli {

/// The groups of one scan of the machine, or the one-line reason the scan failed.
std::expected<std::vector<discovery::ProcessGroup>, std::string> snapshot_groups();

}  // namespace stackpeek::cli
