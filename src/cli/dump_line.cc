#include "cli/dump_line.h"

#include <limits>

#include "common/utf8.h"
#include "stacks/dump_json.h"

namespace stackpeek::cli {
namespace {

using nlohmann::json;
using Failure = std::unexpected<std::string>;

// Blanks as launchers pad labels and line ends; a whole-text Unicode trim costs more than
// parsing on long lines.
std::string_view trim_blanks(std::string_view text) {
  const size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string_view::npos) return {};
  return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

// Splits off a "NAME: " label; the text after it starts the object.
std::pair<std::string_view, std::string_view> split_label(std::string_view line) {
  const std::string_view body = trim_blanks(line);
  if (body.starts_with('{')) return {{}, body};
  const size_t colon = body.find(": ");
  if (colon == std::string_view::npos) return {{}, body};
  return {trim_blanks(body.substr(0, colon)), body.substr(colon + 2)};
}

std::optional<uint32_t> u32_field(const json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_number_unsigned()) return std::nullopt;
  const auto value = it->get<uint64_t>();
  if (value > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  return static_cast<uint32_t>(value);
}

std::string text_field(const json& object, const char* key) {
  const auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// The error of a failed dump: py-spy's standard error, or how the command ended.
std::string failure_text(const json& object, const std::string& status) {
  std::string text = text_field(object, "stderr");
  if (!utf8::trim(text).empty()) return text;
  if (const auto code = u32_field(object, "exit_code")) {
    return "py-spy failed with exit code " + std::to_string(*code);
  }
  if (const auto signal = u32_field(object, "signal")) {
    return stacks::crash_text(static_cast<int>(*signal));
  }
  return "py-spy status " + status;
}

std::expected<void, std::string> read_stacks(const json& object, stacks::DumpResult& result) {
  const auto threads = object.find("threads");
  if (threads != object.end() && !threads->is_null()) {
    std::string error;
    auto parsed = stacks::threads_from_json(*threads, &error);
    if (!parsed) return Failure(error);
    result.dump = stacks::ProcessDump{{}, {}, std::move(*parsed)};
    return {};
  }
  const auto raw = object.find("raw");
  if (raw == object.end() || !raw->is_string()) {
    return Failure("a successful dump needs 'threads' or 'raw'");
  }
  result.raw = raw->get<std::string>();
  return {};
}

}  // namespace

std::expected<stacks::DumpResult, std::string> parse_dump_line(std::string_view line) {
  const auto [label, body] = split_label(line);
  const json object = json::parse(body, nullptr, false);
  if (!object.is_object()) return Failure("not a JSON object");
  stacks::DumpResult result;
  const auto pid = u32_field(object, "pid");
  if (!pid) return Failure("'pid' must be a process id");
  result.pid = *pid;
  result.rank = u32_field(object, "rank");
  result.world_size = u32_field(object, "world_size");
  if (const auto unchanged = u32_field(object, "unchanged_s")) {
    result.unchanged = std::chrono::seconds(*unchanged);
  }
  // `srun --label` puts the task number, not a host, before each line.
  const bool task_number =
      !label.empty() && label.find_first_not_of("0123456789") == std::string_view::npos;
  result.host = label.empty() || task_number ? text_field(object, "host") : std::string(label);
  const std::string status = text_field(object, "status");
  if (status.empty()) return Failure("'status' must be a text");
  if (status != status_name(RunStatus::Success)) {
    result.status = stacks::DumpStatus::Failed;
    result.error = failure_text(object, status);
    return result;
  }
  if (auto read = read_stacks(object, result); !read) return std::unexpected(read.error());
  return result;
}

}  // namespace stackpeek::cli
