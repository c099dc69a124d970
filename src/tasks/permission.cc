#include "tasks/permission.h"

#include <fmt/format.h>
#include <unistd.h>

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

}  // namespace

std::optional<std::string> ptrace_permission_message() {
  return ptrace_permission_message_for(kScopeFile, geteuid());
}

std::optional<std::string> ptrace_permission_message_for(const std::string& scope_file,
                                                         uid_t euid) {
  // Root may trace any process whatever the setting, and often has no sudo to offer.
  if (euid == 0) return std::nullopt;
  const auto text = read_text_file(scope_file);
  if (!text) return general_text();
  const auto value = parse_unsigned(utf8::trim(*text), 255);
  if (!value) return general_text();
  if (*value == 0) return std::nullopt;
  return scope_text(*value);
}

RunRecord sudo_validate() { return capture_process(ProcessSpec{"sudo", {"-v"}, true}, "sudo -v"); }

}  // namespace stackpeek::tasks
