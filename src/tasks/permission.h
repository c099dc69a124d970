#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/run_record.h"

namespace stackpeek::tasks {

/// The last line of every prompt of ptrace_permission_message(target_pids).
inline constexpr const char* kTryWithoutSudoLine = "Press n to try without sudo.";

/// What the permission check looks at; replaced in tests.
struct PtraceContext {
  /// The Yama setting; a missing file means the classic rules (a user may trace their own
  /// processes).
  std::string scope_file = "/proc/sys/kernel/yama/ptrace_scope";
  uid_t euid = 0;
  /// The user a process runs as; nothing when unknown (say, the process is gone).
  std::function<std::optional<uid_t>(uint32_t pid)> process_owner;
};

/// The machine: the Yama file above, geteuid() and process_owner().
PtraceContext system_ptrace_context();

/// The owner of /proc/PID; nothing when it cannot be read.
std::optional<uid_t> process_owner(uint32_t pid);

/// Nothing when py-spy may read the memory of every target without sudo: running as root,
/// or every target is the user's own and Yama does not restrict tracing (file missing, or
/// 0). Otherwise the text of the permission prompt, whose last line is kTryWithoutSudoLine:
/// about the other user's process when a target runs as another user, else about the Yama
/// value, else (file unreadable or malformed) the general explanation.
std::optional<std::string> ptrace_permission_message(const std::vector<uint32_t>& target_pids);

/// The same with the context given (tests).
std::optional<std::string> ptrace_permission_message_for(const std::vector<uint32_t>& target_pids,
                                                         const PtraceContext& context);

/// The Yama setting alone, for a given setting file and effective user (a missing or
/// unreadable file gives the general text), without kTryWithoutSudoLine.
std::optional<std::string> ptrace_permission_message_for(const std::string& scope_file, uid_t euid);

/// The Yama value in `scope_file`; nothing when missing, unreadable or malformed.
std::optional<uint64_t> read_ptrace_scope(const std::string& scope_file);

/// Runs "sudo -v" with the ordinary terminal, output captured, and returns its record.
RunRecord sudo_validate();

}  // namespace stackpeek::tasks
