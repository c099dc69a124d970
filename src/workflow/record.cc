#include "workflow/record.h"

#include "common/util.h"

namespace stackpeek::workflow {

Result<RecordPlan> plan_record(RecordRequest request) {
  auto dir = request.parent.empty() ? report::create_report_dir(request.target.label)
                                    : report::create_report_dir_in(request.parent, unix_seconds(),
                                                                   request.target.label);
  if (!dir) return std::unexpected(std::move(dir.error()));
  auto commands =
      tasks::build_spy_commands(request.program, tasks::SpyMode::Record, request.target.pids(),
                                request.use_sudo, dir->raw_directory, request.seconds);
  auto final_dumps = tasks::build_spy_commands(
      request.program, tasks::SpyMode::Dump, request.target.pids(), request.use_sudo, std::nullopt);
  return RecordPlan{.dir = std::move(*dir),
                    .target = std::move(request.target),
                    .seconds = request.seconds,
                    .commands = std::move(commands),
                    .final_dumps = std::move(final_dumps),
                    .started = std::chrono::steady_clock::now()};
}

RecordReport finish_record(const RecordPlan& plan, const std::vector<RunRecord>& records,
                           bool canceled, std::vector<RunRecord> final_dumps,
                           stacks::StackHistory* history) {
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - plan.started;
  report::RecordRun run{.target = plan.target,
                        .duration_requested_s = static_cast<double>(plan.seconds),
                        .duration_s = elapsed.count(),
                        .canceled = canceled};
  RecordReport result{.details = report::gather_details(plan.dir, records, std::move(run),
                                                        std::move(final_dumps), history),
                      .written = {}};
  result.written = report::write_report(plan.dir, records, &result.details);
  return result;
}

}  // namespace stackpeek::workflow
