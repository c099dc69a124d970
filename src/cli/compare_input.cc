#include "cli/compare_input.h"

#include "cli/line_reader.h"
#include "cli/output.h"

namespace stackpeek::cli {
namespace {

// Skipped lines reported one by one; the rest are counted.
constexpr size_t kReportedSkips = 5;

stacks::ClassMember member_of(stacks::DumpResult& result) {
  return {.host = std::move(result.host),
          .pid = result.pid,
          .rank = result.rank,
          .world_size = result.world_size,
          .job = std::move(result.job),
          .unchanged = result.unchanged};
}

}  // namespace

void merge_line(CompareLine line, stacks::StackMerger& merger) {
  for (auto& merged : line.classes) merger.add_class(std::move(merged));
  if (!line.dump) return;
  stacks::DumpResult& result = *line.dump;
  if (result.status == stacks::DumpStatus::Failed) {
    merger.add_failed(member_of(result), std::move(result.error));
  } else if (result.dump) {
    merger.add_stack(member_of(result), std::move(result.dump->threads));
  } else {
    merger.add_unparsed(member_of(result), std::move(result.raw));
  }
}

Result<void> read_compare_input(int fd, std::string_view name, CompareInput& input) {
  LineReader reader(fd);
  while (true) {
    auto line = reader.next();
    if (!line) return std::unexpected(line.error());
    if (!*line) return {};
    if ((*line)->find_first_not_of(" \t\r") == std::string_view::npos) continue;
    auto parsed = parse_compare_line(**line, true);
    if (!parsed) {
      if (++input.skipped <= kReportedSkips) {
        diagnose(std::string(name) + ":" + std::to_string(reader.number()) +
                 ": skipped: " + parsed.error());
      }
      continue;
    }
    merge_line(std::move(*parsed), input.merger);
    ++input.lines;
  }
}

void report_skipped_rest(const CompareInput& input) {
  if (input.skipped <= kReportedSkips) return;
  diagnose(std::to_string(input.skipped - kReportedSkips) + " more lines skipped");
}

}  // namespace stackpeek::cli
