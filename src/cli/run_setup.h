#pragma once

#include <expected>
#include <filesystem>
#include <string_view>
#include <vector>

#include "cli/args.h"
#include "cli/targets.h"
#include "discovery/groups.h"

namespace stackpeek::cli {

/// What a dump or record run needs before it starts.
struct RunSetup {
  std::filesystem::path program;  // py-spy
  std::vector<discovery::ProcessGroup> groups;
  std::vector<TargetProcess> targets;  // never empty; point into `groups` (moves keep them)

  std::vector<uint32_t> pids() const;
};

/// Finds py-spy, takes a snapshot and resolves the targets. Otherwise says why on standard
/// error and gives the exit status: kExitFailed, or kExitOk when the targets name no
/// process ("no Python processes to `action`": a node without any is no failure).
std::expected<RunSetup, int> set_up_run(const Options& options, std::string_view action);

}  // namespace stackpeek::cli
