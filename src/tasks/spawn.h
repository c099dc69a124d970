#pragma once

#include <sys/types.h>

#include <expected>
#include <string>
#include <vector>

namespace stackpeek::tasks {

/// How one child is started: the program as it is executed (a path), its whole argument
/// vector, and the descriptors that become its standard streams. Every descriptor must be
/// above 2 (see above_std_streams).
struct ChildSetup {
  std::string path;
  std::vector<std::string> argv;
  int stdin_fd = -1;
  int stdout_fd = -1;
  int stderr_fd = -1;
  /// The child leads a session of its own, with standard input (a terminal) as its
  /// controlling terminal.
  bool own_session = false;
  /// Sent to the child when the thread that started it ends, or the whole program, even
  /// by SIGKILL. The child starts with default signal handlers and no blocked signals.
  int death_signal = 0;
  /// The child leads a process group of its own, so it never reads from the terminal nor
  /// gets the signals of the terminal's keys.
  bool own_process_group = false;
};

/// Starts the child and returns once it has executed the program; the error is the errno
/// of the step that failed (a missing program is ENOENT). The parent-death signal is set in
/// the child before it executes the program, which posix_spawn cannot do.
std::expected<pid_t, int> spawn_child(const ChildSetup& setup);

/// `fd` itself when above 2, else a close-on-exec copy above 2 (and `fd` closed), so that
/// the child's dup2 calls cannot overwrite a descriptor that is still to be duplicated;
/// -1 with errno on failure.
int above_std_streams(int fd);

/// The program of a command as executed: a name without a slash is looked up along PATH
/// when `search_path` is set (ENOENT when found nowhere), else taken from the current
/// folder.
std::expected<std::string, int> resolve_program(const std::string& program, bool search_path);

}  // namespace stackpeek::tasks
