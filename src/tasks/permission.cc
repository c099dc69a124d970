#include "tasks/permission.h"

#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "common/utf8.h"
#include "tasks/subprocess.h"

namespace stackpeek::tasks {
namespace {

constexpr const char* kScopeFile = "/proc/sys/kernel/yama/ptrace_scope";

// Lines both explanations share: the sysctl advice and how to make it last.
#define STACKPEEK_SYSCTL_ADVICE                                                    \
  "sudo sysctl kernel.yama.ptrace_scope=0\n"                                       \
  "\n"                                                                             \
  "Persistent setup:\n"                                                            \
  "echo 'kernel.yama.ptrace_scope=0' | sudo tee /etc/sysctl.d/10-stackpeek.conf\n" \
  "sudo sysctl --system\n"                                                         \
  "\n"

#define STACKPEEK_PERMISSION_HEADING "py-spy needs permission to read another process memory.\n\n"

constexpr const char* kGeneralText =
    STACKPEEK_PERMISSION_HEADING
    "Linux rootless option for same-user profiling:\n" STACKPEEK_SYSCTL_ADVICE
    "Press Enter to use sudo now, or Esc to cancel.";

std::string scope_text(unsigned value) {
  return STACKPEEK_PERMISSION_HEADING "Linux currently has kernel.yama.ptrace_scope=" +
         std::to_string(value) +
         ".\n"
         "\n"
         "Rootless option for same-user profiling:\n" STACKPEEK_SYSCTL_ADVICE
         "This relaxes same-user debugging policy system-wide. Press Enter to use sudo now, "
         "or Esc to cancel.";
}

#undef STACKPEEK_SYSCTL_ADVICE
#undef STACKPEEK_PERMISSION_HEADING

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

// An unsigned 8-bit number: optional "+", then at least one digit, at most 255.
std::optional<unsigned> parse_u8(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  unsigned value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > 255) return std::nullopt;
  }
  return value;
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
  if (!text) return kGeneralText;
  const auto value = parse_u8(utf8::trim(*text));
  if (!value) return kGeneralText;
  if (*value == 0) return std::nullopt;
  return scope_text(*value);
}

RunRecord sudo_validate() { return capture_process(ProcessSpec{"sudo", {"-v"}, true}, "sudo -v"); }

}  // namespace stackpeek::tasks
