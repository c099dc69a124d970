#include "tasks/py_spy.h"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string_view>
#include <system_error>

#include "common/util.h"

namespace stackpeek::tasks {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kPySpyName = "py-spy";

// Directories count as missing; symbolic links are followed.
bool is_candidate(const fs::path& candidate) {
  std::error_code ec;
  return fs::is_regular_file(candidate, ec);
}

std::vector<std::string_view> split_path_env(std::string_view path_env) {
  std::vector<std::string_view> pieces;
  size_t start = 0;
  while (true) {
    const size_t colon = path_env.find(':', start);
    pieces.push_back(path_env.substr(start, colon - start));
    if (colon == std::string_view::npos) return pieces;
    start = colon + 1;
  }
}

std::string record_output(uint32_t pid, const std::optional<fs::path>& svg_folder) {
  const std::string pid_text = std::to_string(pid);
  if (!svg_folder) return "py-spy-profile-pid" + pid_text + ".svg";
  return path_text(*svg_folder / ("pid-" + pid_text + ".svg"));
}

}  // namespace

std::string_view spy_mode_name(SpyMode mode) {
  switch (mode) {
    case SpyMode::Dump:
      return "dump";
    case SpyMode::Record:
      return "record";
    case SpyMode::Top:
      return "top";
  }
  return "dump";
}

std::string py_spy_not_found_text() {
  return py_spy_not_found_text_for(geteuid(), std::getenv("SUDO_USER"));
}

std::string py_spy_not_found_text_for(uid_t euid, const char* sudo_user) {
  if (euid != 0 || sudo_user == nullptr) return kPySpyNotFound;
  return fmt::format(
      "{}; sudo resets PATH to its secure_path, which hides a py-spy on {}'s own PATH: run "
      "sudo env \"PATH=$PATH\" stackpeek to keep it",
      kPySpyNotFound, sudo_user);
}

Result<fs::path> find_py_spy() {
  std::error_code ec;
  std::optional<fs::path> self_exe;
  fs::path target = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) self_exe = std::move(target);
  const char* path_env = std::getenv("PATH");
  return find_py_spy_in(self_exe, path_env ? std::optional<std::string>(path_env) : std::nullopt);
}

Result<fs::path> find_py_spy_in(const std::optional<fs::path>& self_exe,
                                const std::optional<std::string>& path_env) {
  if (self_exe && self_exe->has_parent_path()) {
    fs::path candidate = self_exe->parent_path() / kPySpyName;
    if (is_candidate(candidate)) return candidate;
  }
  // An empty piece joins to the bare name, i.e. a file in the current folder.
  const std::string path_list = path_env.value_or("");
  for (const std::string_view piece : split_path_env(path_list)) {
    fs::path candidate = fs::path(piece) / kPySpyName;
    if (is_candidate(candidate)) return candidate;
  }
  return std::unexpected(Error("binary not found on PATH").context(kPySpyNotFound));
}

SpyCommand build_spy_command(const fs::path& program, SpyMode mode, uint32_t pid, bool use_sudo,
                             const std::optional<fs::path>& svg_folder, uint32_t record_seconds) {
  const std::string pid_text = std::to_string(pid);
  std::vector<std::string> args;
  switch (mode) {
    case SpyMode::Dump:
      args = {"dump", "--pid", pid_text};
      break;
    case SpyMode::Record:
      args = {"record",
              "--duration",
              std::to_string(record_seconds),
              "-o",
              record_output(pid, svg_folder),
              "--pid",
              pid_text};
      break;
    case SpyMode::Top:
      args = {"top", "--pid", pid_text, "--delay", "1"};
      break;
  }
  return SpyCommand{program, std::move(args), use_sudo};
}

std::vector<SpyCommand> build_spy_commands(const fs::path& program, SpyMode mode,
                                           const std::vector<uint32_t>& pids, bool use_sudo,
                                           const std::optional<fs::path>& svg_folder,
                                           uint32_t record_seconds) {
  std::vector<SpyCommand> commands;
  commands.reserve(pids.size());
  for (const uint32_t pid : pids) {
    commands.push_back(build_spy_command(program, mode, pid, use_sudo, svg_folder, record_seconds));
  }
  return commands;
}

std::string command_line(const SpyCommand& command) {
  return fmt::format("{}{} {}", command.use_sudo ? "sudo -n " : "", path_text(command.program),
                     fmt::join(command.args, " "));
}

ProcessSpec to_process(const SpyCommand& command) {
  if (!command.use_sudo) return ProcessSpec{command.program.native(), command.args, false};
  std::vector<std::string> args{"-n", command.program.native()};
  args.insert(args.end(), command.args.begin(), command.args.end());
  // sudo cannot relay SIGKILL to the root py-spy it starts, but it relays SIGTERM.
  // In a process group of its own sudo never reads the user's terminal: with `use_pty` it
  // relays that terminal to the command while it is in the terminal's foreground.
  return ProcessSpec{.program = "sudo",
                     .args = std::move(args),
                     .search_path = true,
                     .death_signal = SIGTERM,
                     .own_process_group = true};
}

RunRecord run_captured(const SpyCommand& command) {
  return capture_process(to_process(command), command_line(command));
}

std::vector<fs::path> output_files(const std::vector<SpyCommand>& commands) {
  std::vector<fs::path> files;
  for (const auto& command : commands) {
    for (size_t i = 0; i + 1 < command.args.size(); ++i) {
      if (command.args[i] == "-o") {
        files.emplace_back(command.args[i + 1]);
        break;
      }
    }
  }
  return files;
}

std::vector<std::string> running_command_lines(const std::vector<SpyCommand>& commands) {
  std::vector<std::string> lines;
  lines.reserve(commands.size());
  for (const auto& command : commands) lines.push_back("$ " + command_line(command));
  return lines;
}

}  // namespace stackpeek::tasks
