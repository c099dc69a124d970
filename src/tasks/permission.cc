#include "tasks/permission.h"

#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <sstream>

#include "common/utf8.h"
#include "common/util.h"
#include "tasks/subprocess.h"

namespace stackpeek::tasks {
namespace {

constexpr const char* kScopeFile = "/proc/sys/kernel/yama/ptrace_scope";

constexpr std::string_view kHeading = "py-spy needs permission to read another process memory.\n\n";

// Lines both explanations share: the sysctl advice and how to make it last.
constexpr std::string_view kSysctlAdvice =
    "sudo sysctl kernel.yama.ptrace_scope=0\n"
    "\n"
    "Persistent setup:\n"
    "echo 'kernel.yama.ptrace_scope=0' | sudo tee /etc/sysctl.d/10-stackpeek.conf\n"
    "sudo sysctl --system\n"
    "\n";

std::string general_text() {
  return fmt::format(
      "{}Linux rootless option for same-user profiling:\n{}"
      "Press Enter to use sudo now, or Esc to cancel.",
      kHeading, kSysctlAdvice);
}

std::string scope_text(uint64_t value) {
  return fmt::format(
      "{}Linux currently has kernel.yama.ptrace_scope={}.\n"
      "\n"
      "Rootless option for same-user profiling:\n{}"
      "This relaxes same-user debugging policy system-wide. Press Enter to use sudo now, "
      "or Esc to cancel.",
      kHeading, value, kSysctlAdvice);
}

// For a target that runs as another user no sysctl helps: only root can read it.
std::string other_user_text(const std::vector<uint32_t>& others) {
  const std::string who =
      others.size() == 1
          ? fmt::format("Process {} runs as another user; reading its memory needs root.",
                        others.front())
          : fmt::format(
                "{} of the selected processes run as another user; reading their "
                "memory needs root.",
                others.size());
  return fmt::format("{}{}\n\nPress Enter to use sudo now, or Esc to cancel.", kHeading, who);
}

std::optional<std::string> read_text_file(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (in.bad()) return std::nullopt;
  std::string text = std::move(bytes).str();
  if (!utf8::is_valid(text)) return std::nullopt;
  return text;
}

// Missing means "no such file": the kernel has no Yama. Any other failure to look is no
// proof that tracing is unrestricted.
bool is_missing(const std::string& file) {
  struct stat st {};
  return ::stat(file.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

std::string with_user_option(std::string text) {
  text += '\n';
  text += kTryWithoutSudoLine;
  return text;
}

}  // namespace

std::optional<uid_t> process_owner(uint32_t pid) {
  struct stat st {};
  const std::string path = "/proc/" + std::to_string(pid);
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return st.st_uid;
}

PtraceContext system_ptrace_context() {
  PtraceContext context;
  context.scope_file = kScopeFile;
  context.euid = geteuid();
  context.process_owner = process_owner;
  return context;
}

std::optional<std::string> ptrace_permission_message(const std::vector<uint32_t>& target_pids) {
  return ptrace_permission_message_for(target_pids, system_ptrace_context());
}

std::optional<std::string> ptrace_permission_message_for(const std::vector<uint32_t>& target_pids,
                                                         const PtraceContext& context) {
  // Root may trace any process whatever the setting, and often has no sudo to offer.
  if (context.euid == 0) return std::nullopt;
  std::vector<uint32_t> others;
  for (const uint32_t pid : target_pids) {
    const auto owner = context.process_owner ? context.process_owner(pid) : std::nullopt;
    if (owner && *owner != context.euid) others.push_back(pid);
  }
  if (!others.empty()) return with_user_option(other_user_text(others));
  if (is_missing(context.scope_file)) return std::nullopt;
  auto message = ptrace_permission_message_for(context.scope_file, context.euid);
  if (!message) return std::nullopt;
  return with_user_option(std::move(*message));
}

std::optional<std::string> ptrace_permission_message_for(const std::string& scope_file,
                                                         uid_t euid) {
  // Root may trace any process whatever the setting, and often has no sudo to offer.
  if (euid == 0) return std::nullopt;
  const auto value = read_ptrace_scope(scope_file);
  if (!value) return general_text();
  if (*value == 0) return std::nullopt;
  return scope_text(*value);
}

std::optional<uint64_t> read_ptrace_scope(const std::string& scope_file) {
  const auto text = read_text_file(scope_file);
  if (!text) return std::nullopt;
  return parse_unsigned(utf8::trim(*text), 255);
}

RunRecord sudo_validate() { return capture_process(ProcessSpec{"sudo", {"-v"}, true}, "sudo -v"); }

}  // namespace stackpeek::tasks
