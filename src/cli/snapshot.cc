#include "cli/snapshot.h"

#include "discovery/scan.h"

namespace stackpeek::cli {

std::expected<std::vector<discovery::ProcessGroup>, std::string> snapshot_groups() {
  auto processes = discovery::scan_processes();
  if (!processes)
    return std::unexpected("could not list processes: " + processes.error().message());
  return discovery::build_groups(*processes);
}

}  // namespace stackpeek::cli
