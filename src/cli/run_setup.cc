#include "cli/run_setup.h"

#include "cli/output.h"
#include "cli/snapshot.h"
#include "tasks/py_spy.h"

namespace stackpeek::cli {

std::vector<uint32_t> RunSetup::pids() const {
  std::vector<uint32_t> out;
  out.reserve(targets.size());
  for (const auto& target : targets) out.push_back(target.pid);
  return out;
}

std::expected<RunSetup, int> set_up_run(const Options& options, std::string_view action) {
  auto program = tasks::find_py_spy();
  if (!program) {
    diagnose(tasks::kPySpyNotFound);
    return std::unexpected(kExitFailed);
  }
  auto groups = snapshot_groups();
  if (!groups) {
    diagnose(groups.error());
    return std::unexpected(kExitFailed);
  }
  auto targets = resolve_targets(*groups, options.targets);
  if (!targets) {
    diagnose(targets.error());
    return std::unexpected(kExitFailed);
  }
  if (targets->empty()) {
    diagnose("no Python processes to " + std::string(action));
    return std::unexpected(kExitOk);
  }
  return RunSetup{std::move(*program), std::move(*groups), std::move(*targets)};
}

}  // namespace stackpeek::cli
