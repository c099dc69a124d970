#pragma once

#include <sys/types.h>

#include <expected>
#include <string>
#include <vector>

#include "common/error.h"
#include "common/run_record.h"
#include "common/unique_fd.h"

namespace stackpeek::tasks {

/// How the operating system starts a command: the program (looked up on PATH when it
/// has no slash and `search_path` is set) and its arguments after argv[0].
struct ProcessSpec {
  std::string program;
  std::vector<std::string> args;
  bool search_path = false;
};

/// Starts `process` with standard input from /dev/null, both output streams captured
/// through close-on-exec pipes drained together, and waits for it. Never throws; a start
/// failure is a SpawnFailed record whose stderr is the OS text ("... (os error N)").
RunRecord capture_process(const ProcessSpec& process, std::string command_line);

/// A started child and the read ends of its standard output and standard error pipes.
struct PipedChild {
  pid_t pid = -1;
  UniqueFd stdout_read;
  UniqueFd stderr_read;
};

/// Where a started child's standard input comes from.
enum class StdinSource { DevNull, Inherit };

/// Starts `process` with both output streams on fresh pipes that only this child inherits.
/// A program without a slash is run from the current folder unless `process.search_path`.
/// The error is the errno of the failed step.
std::expected<PipedChild, int> spawn_piped(const ProcessSpec& process, StdinSource stdin_source);

/// waitpid for `pid`, retried on EINTR; the errno on failure.
std::expected<int, int> wait_child(pid_t pid);

}  // namespace stackpeek::tasks
