#include "cli/snapshot.h"

#include <unistd.h>

#include <array>

#include "discovery/scan.h"

namespace stackpeek::cli {

std::expected<std::vector<discovery::ProcessGroup>, std::string> snapshot_groups() {
  auto processes = discovery::scan_processes();
  if (!processes)
    return std::unexpected("could not list processes: " + processes.error().message());
  return discovery::build_groups(*processes);
}

std::string local_host_name() {
  std::array<char, 256> name{};
  if (gethostname(name.data(), name.size() - 1) != 0 || name[0] == '\0') return "localhost";
  return name.data();
}

}  // namespace stackpeek::cli
