#include "app/runs.h"

#include <fmt/format.h>

#include <algorithm>
#include <limits>
#include <string_view>
#include <utility>

#include "common/defaults.h"
#include "common/utf8.h"
#include "common/util.h"
#include "discovery/torch.h"
#include "report/group_svg.h"
#include "report/report_dir.h"
#include "report/report_sections.h"
#include "report/report_writer.h"
#include "report/stacks_svg.h"
#include "stacks/comparison_text.h"
#include "stacks/stack_compare.h"
#include "tasks/permission_advice.h"
#include "tasks/runner.h"
#include "workflow/dump.h"
#include "workflow/record.h"
#include "workflow/record_lines.h"
#include "workflow/watch.h"

namespace stackpeek::app {
namespace {

// The comparison lines fit the output pane of an 80-column terminal (its inner width), so
// that they read well with the pane zoomed.
constexpr size_t kComparisonWidth = 78;

std::vector<std::string> start_lines(SpyMode mode, const std::vector<tasks::SpyCommand>& commands,
                                     const report::ReportDir* dir) {
  std::vector<std::string> lines;
  switch (mode) {
    case SpyMode::Dump:
      lines = {"Dump started.", "Stack output appears here when py-spy finishes."};
      break;
    case SpyMode::Record: {
      lines = {"Recording started.",
               // One sentence, split only to fit the line.
               // NOLINTNEXTLINE(bugprone-suspicious-missing-comma)
               "py-spy record is quiet while it samples; SVG files appear when each command "
               "finishes.",
               "This is not a live py-spy top view yet.", "",
               "Report directory: " + path_text(dir->report_directory),
               "Raw directory: " + path_text(dir->raw_directory)};
      const auto files = tasks::output_files(commands);
      if (!files.empty()) {
        lines.push_back("");
        lines.push_back("Raw records pending:");
        for (const auto& file : files) lines.push_back("  " + path_text(file));
      }
      break;
    }
    case SpyMode::Top:
      lines = {"Live py-spy top started.",
               "Top is scoped to the selected PID; use group recording for multiprocessing.",
               "Press Esc to stop top and return to browsing."};
      break;
  }
  lines.push_back("");
  lines.push_back("Commands running:");
  for (auto& line : tasks::running_command_lines(commands)) lines.push_back(std::move(line));
  return lines;
}

std::string start_status(SpyMode mode, size_t count) {
  switch (mode) {
    case SpyMode::Dump:
      return "Running " + plural(count, "py-spy command", "py-spy commands");
    case SpyMode::Record:  // the footer adds the countdown; the folder is in the output pane
      return fmt::format("Recording {} {}", count, count == 1 ? "process" : "processes");
    case SpyMode::Top:
      return "Streaming live py-spy top";
  }
  return {};
}

void show_top_frame(App& app, tasks::TopFrame frame) {
  app.top_frame = std::move(frame.lines);
  app.output_lines = {"Live py-spy top.",
                      "Current frame replaces the previous frame; Press Esc to stop.", ""};
  app.output_lines.insert(app.output_lines.end(), app.top_frame.begin(), app.top_frame.end());
  app.output_scroll = 0;
}

// "; group picture group.svg" when the report drew the group in one picture.
std::string picture_note(const report::ReportDir& dir) {
  std::error_code ec;
  if (!std::filesystem::exists(dir.report_directory / report::kGroupSvgName, ec)) return {};
  return fmt::format("; group picture {}", report::kGroupSvgName);
}

// The status of a completed run; for a record run, written says how its report went.
std::string completion_status(const std::vector<RunRecord>& records, const report::ReportDir* dir,
                              const Result<void>& written, bool cancelled) {
  if (std::ranges::any_of(records, tasks::sudo_wanted_password)) return tasks::kSudoAskedAgain;
  if (dir) {
    if (!written) {
      const std::string& why = written.error().message();
      return cancelled ? fmt::format("{}; report write failed: {}", kCanceledStatus, why)
                       : "Report write failed: " + why;
    }
    if (!cancelled)
      return "Report written to " + path_text(dir->report_directory) + picture_note(*dir);
    return std::string(kCanceledStatus) + picture_note(*dir);
  }
  if (cancelled) return kCanceledStatus;
  const std::string count = plural(records.size(), "py-spy command", "py-spy commands");
  const bool failed = std::any_of(records.begin(), records.end(), [](const RunRecord& r) {
    return r.status != RunStatus::Success;
  });
  return failed ? "Completed with errors in " + count : "Completed " + count;
}

// Writes a record run's report, cancelled or not, from the records as the commands ended;
// the summary of its profiles opens the output pane.
Result<void> write_record_report(App& app, const workflow::RecordPlan& plan,
                                 tasks::Finished finished, bool cancelled,
                                 std::vector<std::string>& summary) {
  workflow::RecordReport report = workflow::finish_record(
      plan, finished.records, cancelled, std::move(finished.final_dumps), &app.stack_history);
  const auto* final = report.details.final_stacks ? &*report.details.final_stacks : nullptr;
  summary = report::summary_lines(report.details.facts, kComparisonWidth, final);
  return std::move(report.written);
}

// True when the frame already ends with the trailer's lines ("process N ended").
bool frame_ends_with(const std::vector<std::string>& frame, std::string_view trailer) {
  std::vector<std::string_view> lines;
  for (const std::string_view line : split_lines(trailer)) {
    if (!utf8::trim(line).empty()) lines.push_back(line);
  }
  return lines.size() <= frame.size() && std::equal(lines.rbegin(), lines.rend(), frame.rbegin());
}

// A live top run's last frame stays above its record, which does not repeat what the frame
// shows. A cancelled top was killed by this program, so how it ended tells nothing.
std::vector<std::string> top_completion_lines(std::vector<std::string> frame, RunRecord record,
                                              bool cancelled) {
  if (cancelled) {
    record.exit_code.reset();
    record.signal.reset();
  }
  if (frame_ends_with(frame, record.stdout_text)) record.stdout_text.clear();
  if (!frame.empty()) frame.emplace_back();
  for (auto& line : record_lines({record})) frame.push_back(std::move(line));
  return frame;
}

// A dump of every member of one group sets the group's tag in the list.
void remember_group_unchanged(App& app, const discovery::RunTarget& target,
                              const stacks::StackComparison& comparison) {
  const auto& key = target.processes.front().group;
  const bool one_group = key && std::ranges::all_of(target.processes, [&](const auto& process) {
                           return process.group == key;
                         });
  const auto group = std::ranges::find(app.groups, key, &discovery::ProcessGroup::key);
  if (!one_group || group == app.groups.end() || group->members.size() != target.processes.size()) {
    return;
  }
  if (const auto unchanged = workflow::comparison_unchanged(comparison)) {
    app.unchanged_groups[*key] = *unchanged;
  } else {
    app.unchanged_groups.erase(*key);
  }
  update_rows(app);
}

// A group dump's flame graph, written where record runs leave their folders; what the
// status line says of it.
std::string write_dump_picture(const discovery::RunTarget& target,
                               const std::vector<stacks::DumpResult>& results,
                               const stacks::StackComparison& comparison) {
  auto written = report::write_stacks_svg_here(results, comparison, target.label);
  if (!written) return "stacks picture not written: " + written.error().message();
  // Written in the current folder, so its name alone finds it there.
  return "stacks picture " + path_text(written->filename());
}

// The stack comparison that opens the output of a dump of two or more processes. Every
// parsed dump, a lone one too, is remembered in the stack history, so that a later group
// dump can tell how long a process has shown the same stack. `picture` tells of the group's
// flame graph.
std::vector<std::string> dump_comparison(App& app, const discovery::RunTarget& target,
                                         const std::vector<RunRecord>& records,
                                         std::string& picture) {
  if (target.processes.empty() || target.processes.size() != records.size()) return {};
  const workflow::DumpRound round = workflow::finish_dump(target, records, app.stack_history, {});
  remember_group_unchanged(app, target, round.comparison);
  if (round.results.size() < 2) return {};
  if (round.comparison.distinct > 0) {
    picture = write_dump_picture(target, round.results, round.comparison);
  }
  return stacks::comparison_lines(round.comparison, round.results, kComparisonWidth);
}

void complete_run(App& app, tasks::Finished finished) {
  const std::vector<RunRecord> records = finished.records;
  // A cancelled dump has stacks of some processes only: no comparison, no history.
  const bool cancelled = app.active_run && app.active_run->cancel_requested();
  const bool top = app.active_run && app.active_run->live_top();
  const bool dump = app.active_mode == SpyMode::Dump;
  const discovery::RunTarget target = std::exchange(app.active_target, {});
  app.active_run.reset();
  app.mode = AppMode::browse();
  const std::optional<workflow::RecordPlan> record = std::exchange(app.active_record, {});
  const report::ReportDir* report_dir = record ? &record->dir : nullptr;
  std::vector<std::string> frame = std::exchange(app.top_frame, {});
  std::vector<std::string> summary;
  Result<void> written;
  if (record) written = write_record_report(app, *record, std::move(finished), cancelled, summary);
  app.status = completion_status(records, report_dir, written, cancelled);
  if (top && records.size() == 1) {
    app.output_lines = top_completion_lines(std::move(frame), records.front(), cancelled);
  } else {
    std::string picture;
    app.output_lines =
        cancelled || !dump ? std::move(summary) : dump_comparison(app, target, records, picture);
    if (!picture.empty()) app.status += "; " + picture;
    for (auto& line : record_lines(records)) app.output_lines.push_back(std::move(line));
  }
  if (report_dir) {
    const std::string folder = path_text(report_dir->report_directory);
    app.reports.push_back(folder);
    app.output_lines.push_back("Report directory: " + folder);
    app.output_lines.push_back("Share report.md, report.json, and raw/ with an LLM.");
  }
  if (cancelled) app.output_lines.emplace_back("Canceled.");
  // A top that ended by itself is read from its end: how its process ended. The main loop
  // brings the scroll back to the pane's last page.
  app.output_scroll = top && !cancelled ? std::numeric_limits<uint16_t>::max() : 0;
}

// A worker that ended without its Finished message would leave the run spinning
// forever; complete it with a record per process that says so.
tasks::Finished lost_worker_result(const App& app) {
  std::vector<RunRecord> records;
  for (const auto& process : app.active_target.processes) {
    RunRecord record;
    record.command_line = fmt::format("py-spy (pid {})", process.pid);
    record.stderr_text = "the py-spy worker ended without reporting its results";
    record.status = RunStatus::SpawnFailed;
    records.push_back(std::move(record));
  }
  if (records.empty())
    records.push_back({"py-spy", "", "the py-spy worker ended without reporting its results",
                       RunStatus::SpawnFailed});
  return tasks::Finished{.records = std::move(records), .final_dumps = {}};
}

}  // namespace

std::vector<tasks::SpyCommand> commands_for_target(
    const discovery::RunTarget& target, const std::filesystem::path& program, SpyMode mode,
    bool use_sudo, const std::optional<report::ReportDir>& report_dir) {
  std::optional<std::filesystem::path> svg_folder;
  if (report_dir) svg_folder = report_dir->raw_directory;
  return tasks::build_spy_commands(program, mode, target.pids(), use_sudo, svg_folder);
}

void start_run(App& app, SpyMode mode, const Selection& selection, bool use_sudo) {
  // Looked for again while missing, so a py-spy installed meanwhile is used at once.
  if (!app.py_spy) {
    if (auto found = app.services.find_py_spy()) app.py_spy = *found;
  }
  if (!app.py_spy) {
    app.status = tasks::py_spy_not_found_text();
    return;
  }
  discovery::RunTarget target = selection_target(app.groups, selection);
  std::optional<workflow::RecordPlan> record;
  std::vector<tasks::SpyCommand> commands;
  if (mode == SpyMode::Record) {
    auto plan = workflow::plan_record(
        {.target = target, .program = *app.py_spy, .parent = {}, .use_sudo = use_sudo});
    if (!plan) {
      app.status = "Could not create report folder: " + plan.error().message();
      return;
    }
    record = std::move(*plan);
    commands = record->commands;
  } else {
    commands = commands_for_target(target, *app.py_spy, mode, use_sudo, std::nullopt);
  }
  if (commands.empty()) {
    app.status = "No commands to run for the selected item";
    return;
  }
  app.status = start_status(mode, commands.size());
  app.output_lines = start_lines(mode, commands, record ? &record->dir : nullptr);
  app.output_scroll = 0;
  app.mode = AppMode::running();
  app.tick = 0;
  app.run_started = std::chrono::steady_clock::now();
  app.run_seconds = 0;
  app.active_run.reset();
  app.active_record = std::move(record);
  app.top_frame.clear();
  app.active_target = std::move(target);
  app.active_mode = mode;
  if (mode == SpyMode::Top) {
    app.active_run.emplace(tasks::spawn_top_worker(std::move(commands.front()), app.top_pane));
  } else {
    // A record ends with one dump of every process: its final stacks in the report.
    auto final_dumps =
        app.active_record ? app.active_record->final_dumps : std::vector<tasks::SpyCommand>{};
    app.active_run.emplace(
        tasks::spawn_capture_worker(std::move(commands), std::move(final_dumps)));
  }
}

void finish_after_loop(App& app) {
  drain_events(app);
  if (app.active_run) complete_run(app, lost_worker_result(app));
}

// The Finished of the active run when it has come; shows the top frames before it. The
// event leaves the channel through this function of its own, which keeps GCC 12 at -O3
// from a false maybe-uninitialized report inside the event variant.
std::optional<tasks::Finished> take_finished(App& app) {
  while (auto event = app.active_run->try_recv()) {
    if (auto* frame = std::get_if<tasks::TopFrame>(&*event)) {
      if (!app.active_run->cancel_requested()) show_top_frame(app, std::move(*frame));
      continue;
    }
    return std::get<tasks::Finished>(std::move(*event));
  }
  return std::nullopt;
}

void drain_events(App& app) {
  if (!app.active_run) return;
  if (auto finished = take_finished(app)) {
    complete_run(app, std::move(*finished));
  } else if (app.active_run->closed()) {
    complete_run(app, lost_worker_result(app));
  }
}

}  // namespace stackpeek::app
