#include "workflow/watch_text.h"

#include <fmt/format.h>

#include <ctime>

#include "common/util.h"
#include "report/dump_line_json.h"
#include "report/report_dir.h"
#include "report/report_file.h"
#include "report/report_writer.h"
#include "report/stacks_svg.h"

namespace stackpeek::workflow {

std::string wall_clock_text(WallClock::time_point time) {
  const std::time_t seconds = WallClock::to_time_t(time);
  std::tm local{};
  localtime_r(&seconds, &local);
  return fmt::format("{:02}:{:02}:{:02}", local.tm_hour, local.tm_min, local.tm_sec);
}

namespace {

std::string event_body(const WatchEvent& event) {
  const std::string members = watch_members_text(event.members);
  const auto unchanged = event.unchanged.value_or(std::chrono::seconds(0)).count();
  switch (event.kind) {
    case WatchEventKind::Started:
      return fmt::format("{} {}", event.label, members);
    case WatchEventKind::Stuck: {
      std::string text = fmt::format("{} {} unchanged for {} s; {}", event.label, members,
                                     unchanged, event.detail);
      if (!event.evidence.empty()) text += "; evidence " + event.evidence;
      return text;
    }
    case WatchEventKind::Recovered:
      return fmt::format("{} {} moving again", event.label, members);
    case WatchEventKind::Lost:
      return fmt::format("{} {} gone; {} left", event.label, members, event.remaining);
    case WatchEventKind::Failing:
      return fmt::format("{} {} dump failed: {}", event.label, members, event.detail);
    case WatchEventKind::Ended:
      return fmt::format("{} {} {}", event.label, members,
                         event.members.size() == 1 ? "gone" : "all gone");
  }
  return event.label;
}

}  // namespace

std::string watch_event_text(const WatchEvent& event) {
  // A label is a command line and may hold line feeds or escape sequences.
  return fmt::format("{} {}: {}", wall_clock_text(event.time), watch_event_name(event.kind),
                     escape_controls(event_body(event)));
}

EvidenceFiles evidence_files(const UnitEvidence& evidence, const std::string& host) {
  EvidenceFiles files;
  for (const auto& line : evidence.compare_lines) files.compare += line + "\n";
  files.compare += fmt::format("The same stacks as one flame graph: {}\n", report::kStacksSvgName);
  for (size_t i = 0; i < evidence.members.size(); ++i) {
    const auto line =
        report::dump_line_json(host, evidence.members[i], evidence.records[i], evidence.results[i]);
    files.dumps_jsonl += line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    files.dumps_jsonl += '\n';
  }
  files.history = evidence.history;
  files.stacks_svg =
      report::stacks_svg(evidence.results, stacks::compare_stacks(evidence.results), evidence.name);
  return files;
}

Result<std::filesystem::path> write_evidence(const std::filesystem::path& parent,
                                             const std::string& label, uint64_t unix_seconds,
                                             const EvidenceFiles& files) {
  auto folder = report::make_fresh_directory(
      parent / fmt::format("stackpeek-watch-{}-{}", report::report_slug(label), unix_seconds));
  if (!folder) return std::unexpected(folder.error().context("failed to create evidence folder"));
  for (const auto& [name, content] :
       {std::pair{"compare.txt", &files.compare}, std::pair{"dumps.jsonl", &files.dumps_jsonl},
        std::pair{"history.txt", &files.history},
        std::pair{report::kStacksSvgName.data(), &files.stacks_svg}}) {
    if (auto written = report::write_file_whole(*folder / name, *content); !written) {
      return std::unexpected(
          written.error().context("failed to write " + path_text(*folder / name)));
    }
  }
  return folder;
}

}  // namespace stackpeek::workflow
