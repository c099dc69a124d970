#include "cli/run_setup.h"

#include "cli/output.h"
#include "cli/snapshot.h"
#include "tasks/py_spy.h"

namespace stackpeek::cli {

std::expected<RunSetup, int> set_up_run(const Options& options, std::string_view action) {
  auto program = tasks::find_py_spy();
  if (!program) {
    diagnose(tasks::py_spy_not_found_text());
    return std::unexpected(kExitFailed);
  }
  auto groups = snapshot_groups();
  if (!groups) {
    diagnose(groups.error());
    return std::unexpected(kExitFailed);
  }
  auto target = discovery::resolve_target(*groups, options.targets,
                                          options.host.value_or(discovery::local_host_name()));
  if (!target) {
    diagnose(target.error());
    return std::unexpected(kExitFailed);
  }
  for (const std::string& note : target->notes) diagnose(note);
  if (target->processes.empty()) {
    diagnose("no Python processes to " + std::string(action));
    return std::unexpected(kExitOk);
  }
  return RunSetup{std::move(*program), std::move(*target)};
}

}  // namespace stackpeek::cli
