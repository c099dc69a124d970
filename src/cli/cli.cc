#include "cli/cli.h"

#include <fmt/format.h>

#include "cli/args.h"
#include "cli/commands.h"
#include "cli/output.h"
#include "cli/permission_notes.h"
#include "common/defaults.h"

namespace stackpeek::cli {

bool is_headless_command(std::string_view first) { return parse_verb(first).has_value(); }

int run_headless(std::span<const std::string_view> args) {
  const auto options = parse_options(args);
  if (!options) {
    diagnose(options.error());
    write_stderr("usage:\n" + usage_text());
    return kExitUsage;
  }
  remember_arguments(args);
  if (options->help) return write_stdout(headless_help_text()) ? kExitOk : kExitFailed;
  switch (options->verb) {
    case Verb::List:
      return run_list(*options);
    case Verb::Dump:
      return run_dump(*options);
    case Verb::Record:
      return run_record(*options);
    case Verb::Compare:
      return run_compare(*options);
    case Verb::Watch:
      return run_watch(*options);
  }
  return kExitUsage;
}

std::string headless_help_text() {
  return "Without the screen:\n" + usage_text() +
         fmt::format(
             "list     the Python processes in their groups (group rows end with their key)\n"
             "dump     py-spy dump of every target at once: the compared stacks and each\n"
             "         command's output, or with --json one JSON line per process;\n"
             "         --repeat N dumps N times, --interval S (default {interval}) seconds "
             "apart, and\n"
             "         tells which stacks stayed exactly the same (\"unchanged for S s\")\n"
             "record   py-spy record of every target (--duration S, default {record}), then one\n"
             "         dump of each, into a new report folder under --dir (default the\n"
             "         current one, which must exist or have a parent that does); prints\n"
             "         its path. A group's report draws all its profiles in one flame graph,\n"
             "         group.svg\n"
             "compare  compares dump JSON lines from the files or standard input; a line may\n"
             "         start with a \"NAME: \" label (pdsh, srun --label) that names its host;\n"
             "         it reads its own --json output again, to merge groups of nodes\n"
             "watch    dumps every target each --every S ({every}) and reports, one line per\n"
             "         event (--json: one JSON object), groups whose stacks stay unchanged for\n"
             "         --stuck-after S ({stuck}): stuck, recovered, lost, failing, started, "
             "ended.\n"
             "         A stuck group's evidence goes to stackpeek-watch-LABEL-SECONDS/ under\n"
             "         --dir: compare.txt, dumps.jsonl, history.txt, stacks.svg (the stacks as\n"
             "         one flame graph), with --record S a report folder; then --exec CMD\n"
             "         runs with STACKPEEK_EVIDENCE and STACKPEEK_GROUP\n"
             "         (its output goes to standard error). Runs until SIGINT, SIGTERM or\n"
             "         SIGHUP (exit 0), or, without --all, until every target has exited\n"
             "A refused read of a process names its cause on standard error (another user's\n"
             "process, or kernel.yama.ptrace_scope) and the sudo command that would work.\n"
             "Exit status: 0 when every py-spy command succeeded, 1 when any failed or py-spy\n"
             "is missing, 2 for a usage error.\n",
             fmt::arg("interval", kDefaults.dump_interval_s),
             fmt::arg("record", kDefaults.record_seconds),
             fmt::arg("every", kDefaults.watch_every_s),
             fmt::arg("stuck", kDefaults.stuck_after_s));
}

}  // namespace stackpeek::cli
