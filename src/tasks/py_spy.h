#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/error.h"
#include "common/run_record.h"
#include "tasks/subprocess.h"

namespace stackpeek::tasks {

/// Which py-spy subcommand an invocation runs.
enum class SpyMode { Dump, Record, Top };

/// "dump", "record" or "top".
std::string_view spy_mode_name(SpyMode mode);

/// One planned py-spy invocation.
struct SpyCommand {
  std::filesystem::path program;
  std::vector<std::string> args;
  bool use_sudo = false;
  bool operator==(const SpyCommand&) const = default;
};

inline constexpr const char* kPySpyNotFound =
    "py-spy was not found; install it with `pip install py-spy` and put it on PATH or next to "
    "stackpeek";

/// kPySpyNotFound; under sudo (root with SUDO_USER set) also that sudo's secure_path may
/// have hidden the user's py-spy, and how to keep the user's PATH.
std::string py_spy_not_found_text();

/// The same for a given effective user and SUDO_USER (tests).
std::string py_spy_not_found_text_for(uid_t euid, const char* sudo_user);

/// py-spy next to the program's own executable, else the first regular file named
/// py-spy along PATH (empty pieces meaning the current folder).
Result<std::filesystem::path> find_py_spy();

/// The same search with the own executable's path and PATH given (tests).
Result<std::filesystem::path> find_py_spy_in(const std::optional<std::filesystem::path>& self_exe,
                                             const std::optional<std::string>& path_env);

/// Record commands sample for this long unless told otherwise.
inline constexpr uint32_t kDefaultRecordSeconds = 30;

/// One command; a record command samples for `record_seconds` and writes "pid-PID.svg"
/// into `svg_folder` when given.
SpyCommand build_spy_command(const std::filesystem::path& program, SpyMode mode, uint32_t pid,
                             bool use_sudo, const std::optional<std::filesystem::path>& svg_folder,
                             uint32_t record_seconds = kDefaultRecordSeconds);

/// One command per pid, in the order given.
std::vector<SpyCommand> build_spy_commands(const std::filesystem::path& program, SpyMode mode,
                                           const std::vector<uint32_t>& pids, bool use_sudo,
                                           const std::optional<std::filesystem::path>& svg_folder,
                                           uint32_t record_seconds = kDefaultRecordSeconds);

/// The one-line text form: ["sudo -n "] + program + " " + args joined by blanks.
std::string command_line(const SpyCommand& command);

/// The process to start: py-spy itself, or "sudo -n PY-SPY ARGS..."; should stackpeek end
/// first, py-spy gets SIGKILL, sudo SIGTERM to relay.
ProcessSpec to_process(const SpyCommand& command);

/// The "-o" paths of the commands, in command order.
std::vector<std::filesystem::path> output_files(const std::vector<SpyCommand>& commands);

/// capture_process of to_process(command), with command_line(command) as its text.
RunRecord run_captured(const SpyCommand& command);

/// "$ " + command_line for every command, in order.
std::vector<std::string> running_command_lines(const std::vector<SpyCommand>& commands);

}  // namespace stackpeek::tasks
