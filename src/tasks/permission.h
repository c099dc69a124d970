#pragma once

#include <optional>
#include <string>
#include <sys/types.h>

#include "common/run_record.h"

namespace stackpeek::tasks {

/// Nothing when py-spy may read other processes' memory (ptrace_scope 0, or running as
/// root); otherwise the explanation for the permission prompt.
std::optional<std::string> ptrace_permission_message();

/// The same for a given setting file and effective user (tests).
std::optional<std::string> ptrace_permission_message_for(const std::string& scope_file, uid_t euid);

/// Runs "sudo -v" with the ordinary terminal, output captured, and returns its record.
RunRecord sudo_validate();

}  // namespace stackpeek::tasks
