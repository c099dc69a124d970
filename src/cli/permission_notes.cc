#include "cli/permission_notes.h"

#include <unistd.h>

#include <cstdlib>
#include <map>
#include <set>
#include <string>

#include "cli/output.h"
#include "common/util.h"
#include "report/failure_meaning.h"
#include "tasks/permission.h"
#include "tasks/permission_advice.h"

namespace stackpeek::cli {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> g_arguments;
std::set<tasks::DenialCause> g_explained;

std::optional<uint32_t> command_pid(const tasks::SpyCommand& command) {
  for (size_t i = 0; i + 1 < command.args.size(); ++i) {
    if (command.args[i] == "--pid") {
      const auto pid = parse_unsigned(command.args[i + 1], UINT32_MAX);
      if (pid) return static_cast<uint32_t>(*pid);
    }
  }
  return std::nullopt;
}

tasks::SudoInvocation invocation(const fs::path& py_spy) {
  std::error_code error;
  fs::path self = fs::read_symlink("/proc/self/exe", error);
  if (error) self = "stackpeek";
  const char* path = std::getenv("PATH");
  return tasks::SudoInvocation{.self = std::move(self),
                               .args = g_arguments,
                               .py_spy = fs::absolute(py_spy, error),
                               .user_path = path ? path : ""};
}

}  // namespace

void remember_arguments(std::span<const std::string_view> args) {
  g_arguments.assign(args.begin(), args.end());
}

void explain_permission_failures(const std::vector<tasks::SpyCommand>& commands,
                                 const std::vector<RunRecord>& records) {
  const tasks::PtraceContext context = tasks::system_ptrace_context();
  std::map<tasks::DenialCause, std::vector<uint32_t>> denied;
  for (size_t i = 0; i < commands.size() && i < records.size(); ++i) {
    if (!report::is_permission_denied(records[i])) continue;
    const auto pid = command_pid(commands[i]);
    if (!pid) continue;
    const tasks::DenialCause cause = tasks::denial_cause(*pid, context);
    if (!g_explained.contains(cause)) denied[cause].push_back(*pid);
  }
  if (denied.empty()) return;
  const auto sudo = invocation(commands.front().program);
  const auto scope = tasks::read_ptrace_scope(context.scope_file);
  for (const auto& [cause, pids] : denied) {
    diagnose(tasks::denial_advice(cause, pids, sudo, scope));
    g_explained.insert(cause);
  }
}

}  // namespace stackpeek::cli
