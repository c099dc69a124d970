#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/run_record.h"
#include "tasks/permission.h"

namespace stackpeek::tasks {

/// The PATH that Debian's and Ubuntu's default sudoers give root through `secure_path`.
inline constexpr const char* kSudoSecurePath =
    "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin:/snap/bin";

/// Why py-spy was refused a process's memory, as far as stackpeek can tell.
enum class DenialCause {
  OtherUser,  // the process runs as another user: only root may read it
  Yama,       // one's own process, but kernel.yama.ptrace_scope restricts tracing
  Unknown,    // one's own process without Yama (a container's missing capability, say)
  AsRoot,     // refused to root itself: a container or security policy withholds ptrace
};

/// The cause for `pid` in `context`; a process whose owner cannot be told counts as one's own.
DenialCause denial_cause(uint32_t pid, const PtraceContext& context);

/// What the screen says when a command through `sudo -n` still wanted the password: the
/// configuration keeps no ticket after `sudo -v` (timestamp_timeout=0, say).
inline constexpr const char* kSudoAskedAgain =
    "sudo wanted the password again (it keeps no ticket: timestamp_timeout=0?); run sudo "
    "stackpeek";

/// True when `record` is a `sudo -n` command that sudo refused for want of a password.
bool sudo_wanted_password(const RunRecord& record);

/// How the same command would be run through sudo.
struct SudoInvocation {
  /// stackpeek's own path, and the arguments it was given after it.
  std::filesystem::path self;
  std::vector<std::string> args;
  /// py-spy as found; root finds it through sudo only next to stackpeek or on secure_path.
  std::filesystem::path py_spy;
  std::string secure_path = kSudoSecurePath;
  /// The caller's PATH, which `env "PATH=$PATH"` keeps.
  std::string user_path;
};

/// True when root, through sudo, would not find `py_spy`: it is neither next to `self` nor in
/// a folder of `secure_path`.
bool hidden_from_sudo(const SudoInvocation& invocation);

/// "sudo stackpeek ARGS" as a shell line; stackpeek by its full path when sudo would not find
/// it by name, and with `env "PATH=$PATH"` when root would not find py-spy.
std::string sudo_command_line(const SudoInvocation& invocation);

/// One line explaining a refusal of `cause` for `pids`, with what would work: for another
/// user's process only sudo (never ptrace_scope), for one's own under Yama the setting or
/// sudo. `scope` is the Yama value when known.
std::string denial_advice(DenialCause cause, const std::vector<uint32_t>& pids,
                          const SudoInvocation& invocation, std::optional<uint64_t> scope);

}  // namespace stackpeek::tasks
