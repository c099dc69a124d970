#include "report/dump_line_json.h"

#include "report/json_values.h"
#include "stacks/dump_json.h"

namespace stackpeek::report {
namespace {

using nlohmann::json;

}  // namespace

json dump_line_json(const std::string& host, const discovery::TargetProcess& process,
                    const RunRecord& record, const stacks::DumpResult& result,
                    std::optional<std::chrono::seconds> unchanged) {
  json line = {{"host", host},
               {"pid", process.pid},
               {"group", or_null(process.group)},
               {"rank", or_null(process.rank)},
               {"world_size", or_null(process.world_size)},
               {"command", process.command},
               {"status", status_name(record.status)},
               {"exit_code", or_null(record.exit_code)},
               {"signal", or_null(record.signal)},
               {"stderr", record.stderr_text}};
  if (unchanged) line["unchanged_s"] = unchanged->count();
  if (result.dump) {
    line["threads"] = stacks::threads_to_json(result.dump->threads);
  } else if (result.status == stacks::DumpStatus::Ok) {
    line["raw"] = result.raw;
  }
  return line;
}

}  // namespace stackpeek::report
