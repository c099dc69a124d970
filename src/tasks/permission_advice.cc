#include "tasks/permission_advice.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <string_view>

#include "common/util.h"

namespace stackpeek::tasks {
namespace {

namespace fs = std::filesystem;

bool on_path_list(const fs::path& folder, std::string_view path_list) {
  const fs::path wanted = folder.lexically_normal();
  size_t start = 0;
  while (true) {
    const size_t colon = path_list.find(':', start);
    const std::string_view piece = path_list.substr(start, colon - start);
    if (!piece.empty() && fs::path(piece).lexically_normal() == wanted) return true;
    if (colon == std::string_view::npos) return false;
    start = colon + 1;
  }
}

std::string pid_list(const std::vector<uint32_t>& pids) {
  return fmt::format("{} {}", pids.size() == 1 ? "pid" : "pids", fmt::join(pids, ", "));
}

}  // namespace

bool sudo_wanted_password(const RunRecord& record) {
  return record.command_line.starts_with("sudo -n ") && record.status != RunStatus::Success &&
         record.stderr_text.find("a password is required") != std::string::npos;
}

DenialCause denial_cause(uint32_t pid, const PtraceContext& context) {
  if (context.euid == 0) return DenialCause::AsRoot;
  const auto owner = context.process_owner ? context.process_owner(pid) : std::nullopt;
  if (owner && *owner != context.euid) return DenialCause::OtherUser;
  const auto scope = read_ptrace_scope(context.scope_file);
  return scope && *scope != 0 ? DenialCause::Yama : DenialCause::Unknown;
}

bool hidden_from_sudo(const SudoInvocation& invocation) {
  if (invocation.py_spy.parent_path() == invocation.self.parent_path()) return false;
  return !on_path_list(invocation.py_spy.parent_path(), invocation.secure_path);
}

std::string sudo_command_line(const SudoInvocation& invocation) {
  const bool keep_path = hidden_from_sudo(invocation);
  // With the caller's PATH kept, `env` finds stackpeek as the caller's shell would.
  const std::string_view search = keep_path ? invocation.user_path : invocation.secure_path;
  const std::string name = invocation.self.filename().native();
  std::vector<std::string> words{
      on_path_list(invocation.self.parent_path(), search) ? name : path_text(invocation.self)};
  words.insert(words.end(), invocation.args.begin(), invocation.args.end());
  return fmt::format("sudo {}{}", keep_path ? "env \"PATH=$PATH\" " : "", shell_join(words));
}

std::string denial_advice(DenialCause cause, const std::vector<uint32_t>& pids,
                          const SudoInvocation& invocation, std::optional<uint64_t> scope) {
  std::string line;
  const std::string command = sudo_command_line(invocation);
  switch (cause) {
    case DenialCause::OtherUser:
      line = fmt::format("{} {} as another user; only root may read {} memory: {}", pid_list(pids),
                         pids.size() == 1 ? "runs" : "run", pids.size() == 1 ? "its" : "their",
                         command);
      break;
    case DenialCause::Yama:
      line = fmt::format(
          "kernel.yama.ptrace_scope={} keeps py-spy from reading {}, although it is yours: "
          "sudo sysctl kernel.yama.ptrace_scope=0 allows it, or run {}",
          scope.value_or(1), pid_list(pids), command);
      break;
    case DenialCause::AsRoot:
      // sudo cannot help root; nor can PATH advice.
      return fmt::format(
          "py-spy was not allowed to read the memory of {} although it runs as root: a "
          "container or security policy withholds ptrace (a container needs CAP_SYS_PTRACE)",
          pid_list(pids));
    case DenialCause::Unknown:
      line = fmt::format("py-spy was not allowed to read the memory of {}: run {}", pid_list(pids),
                         command);
      break;
  }
  if (hidden_from_sudo(invocation)) {
    line += fmt::format(" (sudo resets PATH, and root would not find {} without env)",
                        path_text(invocation.py_spy));
  }
  return line;
}

}  // namespace stackpeek::tasks
