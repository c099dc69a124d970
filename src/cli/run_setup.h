#pragma once

#include <expected>
#include <filesystem>
#include <string_view>

#include "cli/args.h"
#include "discovery/run_target.h"

namespace stackpeek::cli {

/// What a dump or record run needs before it starts.
struct RunSetup {
  std::filesystem::path program;  // py-spy
  discovery::RunTarget target;    // never without processes
};

/// Finds py-spy, takes a snapshot and resolves the targets (on the host --host names, or
/// this machine), with the target's notes on standard error. Otherwise says why on
/// standard error and gives the exit status:
/// kExitFailed, or kExitOk when the targets name no process ("no Python processes to
/// `action`": a node without any is no failure).
std::expected<RunSetup, int> set_up_run(const Options& options, std::string_view action);

}  // namespace stackpeek::cli
