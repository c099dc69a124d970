#include "report/report_writer.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <nlohmann/json.hpp>

#include "common/utf8.h"
#include "common/util.h"
#include "report/facts_json.h"
#include "report/group_svg.h"
#include "report/json_values.h"
#include "report/report_file.h"
#include "report/report_sections.h"

namespace stackpeek::report {
namespace {

namespace fs = std::filesystem;

// The guide's second line.
constexpr std::string_view kGuideAsk =
    "Ask it to compare hot functions, rank-specific differences, and repeated blocking stacks.";
// Which section answers the question people record a hung job for.
constexpr std::string_view kStuckHint =
    "Which rank is stuck, and where: \"Stacks when sampling ended\" (one dump of every process "
    "as sampling ended, odd ones first); a process idle most of the time has few samples or "
    "none, so its profile tells little (see the samples column of \"Processes\").";

constexpr std::string_view kLlmPromptHint =
    "Analyze raw SVG flamegraphs and command output. Look for dominant stack frames, rank "
    "imbalance, lock contention, data loading stalls, and repeated blocking system calls.";

// The record's path below the report folder ("raw/pid-1.svg"); a path elsewhere stays whole.
std::string raw_record_name(const ReportDir& dir, const fs::path& record) {
  auto [dir_end, record_it] = std::ranges::mismatch(dir.report_directory, record);
  if (dir_end != dir.report_directory.end()) return path_text(record);
  fs::path relative;
  for (; record_it != record.end(); ++record_it) relative /= *record_it;
  return path_text(relative);
}

size_t success_count(const std::vector<RunRecord>& records) {
  return std::ranges::count(records, RunStatus::Success, &RunRecord::status);
}

// Blank output gets no section, so a quiet command shows only its status.
void add_output_section(std::vector<std::string>& lines, std::string_view label,
                        std::string_view text) {
  if (utf8::trim(text).empty()) return;
  lines.emplace_back();
  lines.push_back(fmt::format("#### {}", label));
  lines.emplace_back();
  lines.emplace_back("```text");
  for (const auto line : split_lines(text)) lines.emplace_back(line);
  lines.emplace_back("```");
}

}  // namespace

RunDetails gather_details(const ReportDir& dir, const std::vector<RunRecord>& records,
                          RecordRun run, std::vector<RunRecord> final_dumps,
                          stacks::StackHistory* history) {
  std::vector<ProcessProfile> profiles;
  for (const auto& process : run.target.processes)
    profiles.push_back(load_profile(dir, process.pid));
  auto facts = process_facts(run, records, std::move(profiles));
  auto final = final_stacks(run.target, std::move(final_dumps), history);
  return {.run = std::move(run), .facts = std::move(facts), .final_stacks = std::move(final)};
}

std::string render_markdown(const ReportDir& dir, const std::vector<fs::path>& raw,
                            const std::vector<RunRecord>& records, const RunDetails* details) {
  std::vector<std::string> lines = {
      "# py-spy report: " + escape_controls(dir.target_label),
      "",
      fmt::format("- Created at unix timestamp: {}", dir.created_at_unix),
      "- Report directory: " + path_text(dir.report_directory),
      "- Raw records: " + path_text(dir.raw_directory),
      fmt::format("- Command count: {}", records.size()),
      fmt::format("- Successful commands: {}", success_count(records)),
  };
  // The header's last fact, after the command counts.
  if (details && details->run.canceled) lines.push_back("- " + canceled_text(details->run));
  lines.insert(lines.end(),
               {"", "## How to use this report with an LLM", "",
                "Give the LLM this `report.md`, `report.json`, and the SVG files under `raw/`.",
                std::string(kGuideAsk)});
  // After the guide's two lines, the pointer to the final stacks when they were taken.
  if (details && details->final_stacks) lines.emplace_back(kStuckHint);
  lines.insert(lines.end(), {"", "## Raw Records", ""});
  for (const auto& record : raw) lines.push_back("- `" + raw_record_name(dir, record) + "`");
  lines.insert(lines.end(), {"", "## Commands", ""});
  for (const auto& record : records) {
    lines.push_back("### `" + record.command_line + "`");
    lines.emplace_back();
    lines.push_back(fmt::format("- Status: {}", status_name(record.status)));
    // The output pane's line, "- exit code: 3" or "- signal: 11 (SIGSEGV)", under a failure.
    if (auto detail = failure_detail(record)) lines.push_back("- " + *detail);
    add_output_section(lines, "stdout", record.stdout_text);
    add_output_section(lines, "stderr", record.stderr_text);
    lines.emplace_back();
  }
  if (details) {
    const FinalStacks* final = details->final_stacks ? &*details->final_stacks : nullptr;
    for (const auto& section : {processes_section(details->facts), time_section(details->facts),
                                group_section(details->facts, final)}) {
      lines.insert(lines.end(), section.begin(), section.end());
    }
    if (final) {
      const auto section = final_stacks_section(*final);
      lines.insert(lines.end(), section.begin(), section.end());
    }
  }
  return fmt::format("{}", fmt::join(lines, "\n"));
}

std::string render_json(const ReportDir& dir, const std::vector<fs::path>& raw,
                        const std::vector<RunRecord>& records, const RunDetails* details) {
  auto raw_records = nlohmann::json::array();
  for (const auto& record : raw)
    raw_records.push_back(nlohmann::json::object({{"path", raw_record_name(dir, record)}}));
  auto commands = nlohmann::json::array();
  for (const auto& record : records) {
    commands.push_back(nlohmann::json::object({
        {"command_line", record.command_line},
        {"status", status_name(record.status)},
        {"stdout", record.stdout_text},
        {"stderr", record.stderr_text},
        {"exit_code", or_null(record.exit_code)},
        {"signal", or_null(record.signal)},
    }));
  }
  nlohmann::json report = {
      {"schema_version", 1},
      {"created_at_unix", dir.created_at_unix},
      {"target_label", dir.target_label},
      {"report_directory", path_text(dir.report_directory)},
      {"raw_records", std::move(raw_records)},
      {"commands", std::move(commands)},
      {"llm_prompt_hint", kLlmPromptHint},
  };
  if (details) {
    report["processes"] = processes_json(details->facts);
    report["profiles"] = profiles_json(details->facts);
    if (details->final_stacks)
      report["final_stacks"] = final_stacks_json(*details->final_stacks, details->run.target);
  }
  // A label or command line that is not valid UTF-8 gets U+FFFD instead of throwing.
  return report.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

Result<void> write_report(const ReportDir& dir, const std::vector<RunRecord>& records,
                          const RunDetails* details) {
  auto raw = list_raw_records(dir.raw_directory);
  if (!raw) return std::unexpected(std::move(raw.error()));
  if (auto written = write_file_whole(dir.report_directory / "report.md",
                                      render_markdown(dir, *raw, records, details));
      !written) {
    return std::unexpected(written.error().context("failed to write Markdown py-spy report"));
  }
  // Another list: py-spy may still have added SVG files while report.md was written.
  raw = list_raw_records(dir.raw_directory);
  if (!raw) return std::unexpected(std::move(raw.error()));
  if (auto written = write_file_whole(dir.report_directory / "report.json",
                                      render_json(dir, *raw, records, details));
      !written) {
    return std::unexpected(written.error().context("failed to write JSON py-spy report"));
  }
  if (details) return write_group_svg(dir, details->facts);
  return {};
}

}  // namespace stackpeek::report
