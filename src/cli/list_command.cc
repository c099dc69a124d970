#include <algorithm>

#include "app/list_model.h"
#include "cli/commands.h"
#include "cli/output.h"
#include "cli/process_json.h"
#include "cli/snapshot.h"

namespace stackpeek::cli {
namespace {

// The groups of the processes `--slurm-job` selects, grouped anew among themselves.
std::expected<std::vector<discovery::ProcessGroup>, std::string> job_groups(
    const std::vector<discovery::ProcessGroup>& groups, const discovery::TargetRequest& request) {
  auto target = discovery::resolve_target(groups, request, discovery::local_host_name());
  if (!target) return std::unexpected(target.error());
  for (const std::string& note : target->notes) diagnose(note);
  const std::vector<uint32_t> pids = target->pids();
  std::vector<discovery::ProcessInfo> processes;
  for (const auto& group : groups) {
    for (const auto& member : group.members) {
      if (std::ranges::find(pids, member.pid) != pids.end()) processes.push_back(member);
    }
  }
  return discovery::build_groups(processes);
}

}  // namespace

int run_list(const Options& options) {
  auto groups = snapshot_groups();
  if (groups && options.targets.slurm_job) groups = job_groups(*groups, options.targets);
  if (!groups) {
    diagnose(groups.error());
    return kExitFailed;
  }
  if (options.json) {
    return write_stdout(json_line(snapshot_json(discovery::local_host_name(), *groups)) + "\n")
               ? kExitOk
               : kExitFailed;
  }
  // Group rows end with the key that `--group` takes.
  std::vector<std::string> lines;
  for (auto& row : app::list_rows(*groups)) {
    if (row.kind == app::ListRow::Kind::Group)
      row.text += "  key: " + (*groups)[row.group_index].key;
    lines.push_back(std::move(row.text));
  }
  return write_lines(lines) ? kExitOk : kExitFailed;
}

}  // namespace stackpeek::cli
