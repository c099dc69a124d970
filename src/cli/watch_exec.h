#pragma once

#include <string>

namespace stackpeek::cli {

/// Runs `command` through /bin/sh with STACKPEEK_EVIDENCE and STACKPEEK_GROUP set, its
/// output passed on to standard error, and waits for it (not for jobs it leaves in the
/// background); a stop signal ends it (SIGTERM).
/// Says on standard error when it fails.
void run_exec_hook(const std::string& command, const std::string& evidence,
                   const std::string& group);

}  // namespace stackpeek::cli
