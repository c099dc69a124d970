#include <fmt/format.h>
#include <time.h>

#include <future>
#include <optional>

#include "app/runs.h"
#include "cli/commands.h"
#include "cli/dump_line.h"
#include "cli/output.h"
#include "cli/run_commands.h"
#include "cli/run_setup.h"
#include "cli/svg_option.h"
#include "common/util.h"
#include "stacks/comparison_text.h"
#include "tasks/py_spy.h"
#include "workflow/dump.h"

namespace stackpeek::cli {
namespace {

// The last round of dumps, compared with the history of the earlier ones.
struct LastDump {
  RunOutcome outcome;
  workflow::DumpRound round;
};

bool print_json(const discovery::RunTarget& target, const LastDump& last) {
  std::string text;
  for (size_t i = 0; i < target.processes.size(); ++i) {
    text += json_line(dump_line_json(target.host, target.processes[i], last.outcome.records[i],
                                     last.round.results[i], last.round.comparison.unchanged[i]));
    text += '\n';
  }
  return write_stdout(text);
}

bool print_text(const LastDump& last) {
  std::vector<std::string> lines =
      stacks::comparison_lines(last.round.comparison, last.round.results);
  for (auto& line : app::record_lines(last.outcome.records)) lines.push_back(std::move(line));
  return write_lines(lines);
}

void sleep_seconds(uint32_t seconds) {
  timespec left{static_cast<time_t>(seconds), 0};
  while (nanosleep(&left, &left) != 0) {
  }
}

std::string dumping_text(size_t processes) {
  return "Dumping " + plural(processes, "process", "processes") + "…";
}

// Pids alone need no snapshot to start their dumps: the first round runs while the
// snapshot that names their groups and ranks is taken, so that a dump of one process
// costs little more than py-spy's own.
std::expected<RunSetup, int> set_up_dump(const Options& options, std::optional<RunOutcome>& first) {
  const auto pids = discovery::request_pids(options.targets);
  const auto program = tasks::find_py_spy();
  if (!pids || !program) return set_up_run(options, "dump");
  auto setup = std::async(std::launch::async, [&options] { return set_up_run(options, "dump"); });
  progress(dumping_text(pids->size()));
  first = run_commands(workflow::dump_commands(*pids, *program));
  return setup.get();
}

}  // namespace

int run_dump(const Options& options) {
  std::optional<RunOutcome> first;
  const auto setup = set_up_dump(options, first);
  if (!setup) return setup.error();
  const discovery::RunTarget& target = setup->target;
  // The comparison names hosts only when one was given: on one machine pids say enough.
  const std::string host = options.host.value_or("");
  stacks::StackHistory history;
  LastDump last;
  for (uint32_t round = 1; round <= options.repeat; ++round) {
    if (round > 1) {
      progress(fmt::format("Waiting {} s before dump {} of {}…", options.interval, round,
                           options.repeat));
      sleep_seconds(options.interval);
    }
    if (round == 1 && first) {
      last.outcome = std::move(*first);
    } else {
      progress(dumping_text(target.processes.size()));
      last.outcome = run_commands(workflow::dump_commands(target, setup->program));
    }
    last.round = workflow::finish_dump(target, last.outcome.records, history, host);
    if (last.outcome.stopped_by) break;
  }
  const bool pictured =
      write_svg_option(options, last.round.results, last.round.comparison, target.label);
  const bool printed = (options.json ? print_json(target, last) : print_text(last)) && pictured;
  if (last.outcome.stopped_by) return 128 + *last.outcome.stopped_by;
  return printed && all_succeeded(last.outcome.records) ? kExitOk : kExitFailed;
}

}  // namespace stackpeek::cli
