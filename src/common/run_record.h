#pragma once

#include <optional>
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
  /// The exit status when the process exited (0 for Success); nothing when it was killed
  /// by a signal or never ran.
  std::optional<int> exit_code = std::nullopt;
  /// The number of the signal that killed the process; nothing when it exited or never ran.
  std::optional<int> signal = std::nullopt;
  /// How long the process ran, from its start until it ended; nothing when it never ran.
  std::optional<double> seconds = std::nullopt;

  bool operator==(const RunRecord&) const = default;
};

/// The standard name of a Linux signal number ("SIGSEGV" for 11); empty when it has none.
std::string_view signal_name(int signal);

/// The line that tells how a failed command ended: "signal: 11 (SIGSEGV)" (or "signal: N"
/// for a number without a standard name) when it was killed, "exit code: N" when it exited.
/// Nothing unless the status is Failure and the record knows how the process ended.
std::optional<std::string> failure_detail(const RunRecord& record);

}  // namespace stackpeek
