#pragma once

#include <sys/types.h>

#include <csignal>
#include <expected>
#include <mutex>
#include <optional>
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
  /// Sent to the child should the program end first, even by SIGKILL, so that no child
  /// outlives it.
  int death_signal = SIGKILL;
  /// Leads a process group of its own (see ChildSetup).
  bool own_process_group = false;
};

/// Starts `process` with standard input from /dev/null, both output streams captured
/// through close-on-exec pipes drained together, and waits for it. Never throws; a start
/// failure is a SpawnFailed record whose stderr is the OS text ("... (os error N)").
RunRecord capture_process(const ProcessSpec& process, std::string command_line);

/// Lets other threads signal the child of one capture_process call while it runs. A signal
/// never reaches a pid that was already reaped (and so perhaps reused).
class ChildControl {
 public:
  ChildControl();

  /// Sends `sig` to the child unless it has ended; a signal sent before the child started
  /// reaches it as soon as it starts. True when the child may still be running.
  bool signal(int sig);
  /// True while the child is started (or about to be) and has not ended.
  bool running() const;

  // Used by capture_process.
  void started(pid_t pid);
  void ended();
  bool signalled() const;
  /// Readable once the child was signalled, so the reader sleeps until then; -1 when no
  /// descriptor could be had, and the reader then looks every so often instead.
  int wake_fd() const { return wake_.get(); }
  /// Empties the wake descriptor.
  void clear_wake() const;

 private:
  UniqueFd wake_;
  mutable std::mutex mutex_;
  pid_t pid_ = -1;
  bool ended_ = false;
  std::optional<int> pending_;
  bool signalled_ = false;
};

/// capture_process whose child `control` can signal. Once the child was signalled and has
/// ended, output a leftover grandchild still writes is no longer waited for.
RunRecord capture_process(const ProcessSpec& process, std::string command_line,
                          ChildControl& control);

/// Sets status, exit_code and signal of `record` from a waitpid status.
void apply_wait_status(RunRecord& record, int wait_status);

/// A started child and the read ends of its standard output and standard error pipes.
struct PipedChild {
  pid_t pid = -1;
  UniqueFd stdout_read;
  UniqueFd stderr_read;
  /// The write end of its standard input, for spawn_fed.
  UniqueFd stdin_write;
};

/// Starts `process` with standard input from /dev/null and both output streams on fresh
/// pipes that only this child inherits. A program without a slash is run from the current
/// folder unless `process.search_path`. The error is the errno of the failed step.
std::expected<PipedChild, int> spawn_piped(const ProcessSpec& process);

/// spawn_piped, but standard input is a fresh pipe whose write end `stdin_write` holds.
std::expected<PipedChild, int> spawn_fed(const ProcessSpec& process);

/// Starts `process` as the leader of a session of its own whose controlling terminal is
/// `terminal_fd` (a pseudo-terminal's slave side, above descriptor 2): standard input and
/// output there, standard error on a fresh pipe (`stdout_read` stays empty).
std::expected<PipedChild, int> spawn_on_terminal(const ProcessSpec& process, int terminal_fd);

/// waitpid for `pid`, retried on EINTR; the errno on failure.
std::expected<int, int> wait_child(pid_t pid);

}  // namespace stackpeek::tasks
