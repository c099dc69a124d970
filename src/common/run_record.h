#pragma once

#include <string>
#include <string_view>

namespace stackpeek {

/// How one outside command ended.
enum class RunStatus { Success, Failure, SpawnFailed };

/// "Success", "Failure" or "SpawnFailed".
constexpr std::string_view status_name(RunStatus status) {
  switch (status) {
    case RunStatus::Success:
      return "Success";
    case RunStatus::Failure:
      return "Failure";
    case RunStatus::SpawnFailed:
      return "SpawnFailed";
  }
  return "Failure";
}

/// The result of one invocation of py-spy (or of "sudo -v"): its text form, both
/// decoded output streams and how it ended.
struct RunRecord {
  std::string command_line;
  std::string stdout_text;
  std::string stderr_text;
  RunStatus status = RunStatus::Failure;

  bool operator==(const RunRecord&) const = default;
};

}  // namespace stackpeek
