#include "app/list_model.h"
#include "cli/commands.h"
#include "cli/output.h"
#include "cli/process_json.h"
#include "cli/snapshot.h"

namespace stackpeek::cli {

int run_list(const Options& options) {
  const auto groups = snapshot_groups();
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
