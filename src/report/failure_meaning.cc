#include "report/failure_meaning.h"

#include <fmt/format.h>

#include <string_view>

#include "common/utf8.h"
#include "common/util.h"

namespace stackpeek::report {
namespace {

bool says(const RunRecord& record, std::string_view text) {
  return record.stderr_text.find(text) != std::string::npos ||
         record.stdout_text.find(text) != std::string::npos;
}

// py-spy's own "Error: …" line, else the first line of standard error.
std::string error_line(const RunRecord& record) {
  std::string_view first;
  for (const std::string_view line : split_lines(record.stderr_text)) {
    const std::string_view trimmed = utf8::trim(line);
    if (trimmed.starts_with("Error: ")) return std::string(trimmed);
    if (first.empty()) first = trimmed;
  }
  return std::string(first);
}

}  // namespace

bool is_permission_denied(const RunRecord& record) {
  return says(record, "Permission Denied") || says(record, "Operation not permitted");
}

std::optional<std::string> failure_meaning(const RunRecord& record, bool canceled) {
  if (record.status == RunStatus::Success) return std::nullopt;
  if (record.status == RunStatus::SpawnFailed)
    return "py-spy could not be started: " + error_line(record);
  if (says(record, "No stack counts found")) {
    return "The process was idle for the whole run (py-spy leaves idle samples out), so "
           "there is no flame graph; a dump shows where it waits.";
  }
  if (is_permission_denied(record)) {
    return "py-spy was not allowed to read the process's memory; as root (sudo) it may read "
           "any process.";
  }
  if (says(record, "Failed to find python version"))
    return "py-spy found no Python interpreter it knows in the process.";
  if (says(record, "Failed to get process executable name"))
    return "The process had ended before py-spy could attach to it.";
  if (record.signal) {
    const std::string_view name = signal_name(*record.signal);
    const std::string which = name.empty() ? fmt::format("signal {}", *record.signal)
                                           : fmt::format("signal {} ({})", *record.signal, name);
    return canceled ? fmt::format(
                          "py-spy was stopped by {} after the cancel, before it had "
                          "written its flame graph.",
                          which)
                    : fmt::format(
                          "py-spy was killed by {} before it had written its flame "
                          "graph.",
                          which);
  }
  const std::string line = error_line(record);
  return fmt::format("py-spy failed (exit code {}){}", record.exit_code.value_or(-1),
                     line.empty() ? "." : ": " + line);
}

}  // namespace stackpeek::report
