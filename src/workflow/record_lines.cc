#include "workflow/record_lines.h"

#include "common/utf8.h"
#include "common/util.h"

namespace stackpeek::workflow {
namespace {

void append_section(std::vector<std::string>& out, std::string_view label, std::string_view text) {
  if (utf8::trim(text).empty()) return;
  out.push_back(std::string(label) + ":");
  for (const std::string_view line : split_lines(text)) out.emplace_back(line);
}

}  // namespace

std::vector<std::string> record_lines(const std::vector<RunRecord>& records) {
  std::vector<std::string> lines;
  for (const auto& record : records) {
    lines.push_back("$ " + record.command_line);
    lines.push_back("status: " + std::string(status_name(record.status)));
    if (auto detail = failure_detail(record)) lines.push_back(std::move(*detail));
    append_section(lines, "stdout", record.stdout_text);
    append_section(lines, "stderr", record.stderr_text);
    lines.emplace_back();
  }
  return lines;
}

}  // namespace stackpeek::workflow
