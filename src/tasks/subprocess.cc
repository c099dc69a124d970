#include "tasks/subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <vector>

#include "common/utf8.h"

extern char** environ;

namespace stackpeek::tasks {
namespace {

constexpr size_t kCaptureReadSize = 64 * 1024;

struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

// Keeps a descriptor clear of 0, 1 and 2 so the child's dup2 calls cannot overwrite a pipe
// end that is still to be duplicated (only happens when the program started with those closed).
int above_std_streams(int fd) {
  if (fd > STDERR_FILENO) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  const int err = errno;
  close(fd);
  errno = err;
  return moved;
}

// Close-on-exec from the start, so a sibling child spawned at the same moment from
// another thread never inherits this pipe and never holds its write end open.
std::expected<Pipe, int> make_pipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return std::unexpected(errno);
  Pipe pipe{UniqueFd(above_std_streams(fds[0])), UniqueFd(above_std_streams(fds[1]))};
  if (!pipe.read || !pipe.write) return std::unexpected(errno);
  return pipe;
}

// Owns the posix_spawn attribute objects for one start.
class SpawnSetup {
 public:
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions_);
    posix_spawnattr_init(&attr_);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attr_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  int configure(StdinSource stdin_source, int stdout_fd, int stderr_fd) {
    if (stdin_source == StdinSource::DevNull) {
      if (int err =
              posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0))
        return err;
    }
    // dup2 clears close-on-exec on the targets; every other pipe end closes at exec.
    if (int err = posix_spawn_file_actions_adddup2(&actions_, stdout_fd, STDOUT_FILENO)) return err;
    if (int err = posix_spawn_file_actions_adddup2(&actions_, stderr_fd, STDERR_FILENO)) return err;
    // The child starts with no blocked signals and default handlers, whatever the
    // spawning thread had.
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attr_, &signals);
    sigfillset(&signals);
    posix_spawnattr_setsigdefault(&attr_, &signals);
    return posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }

  const posix_spawn_file_actions_t* actions() const { return &actions_; }
  const posix_spawnattr_t* attr() const { return &attr_; }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attr_;
};

// A bare relative name must name a file in the current folder, never one found on PATH.
std::string exec_path(const ProcessSpec& process) {
  if (process.search_path || process.program.find('/') != std::string::npos) return process.program;
  return "./" + process.program;
}

std::expected<pid_t, int> start(const ProcessSpec& process, const SpawnSetup& setup) {
  const std::string path = exec_path(process);
  std::vector<char*> argv;
  argv.reserve(process.args.size() + 2);
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const auto& arg : process.args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  pid_t pid = -1;
  // A missing or non-executable program makes the spawn call itself fail, so it shows
  // up here as a start failure rather than as an exit status.
  const int err =
      process.search_path
          ? posix_spawnp(&pid, path.c_str(), setup.actions(), setup.attr(), argv.data(), environ)
          : posix_spawn(&pid, path.c_str(), setup.actions(), setup.attr(), argv.data(), environ);
  if (err != 0) return std::unexpected(err);
  return pid;
}

// Reads one ready descriptor; closes it at end of file. Returns the errno of a failed read.
int read_some(UniqueFd& fd, std::string& out, std::array<char, kCaptureReadSize>& buffer) {
  const ssize_t n = read(fd.get(), buffer.data(), buffer.size());
  if (n > 0) {
    out.append(buffer.data(), static_cast<size_t>(n));
  } else if (n == 0) {
    fd.reset();
  } else if (errno != EINTR && errno != EAGAIN) {
    return errno;
  }
  return 0;
}

// True once `pid` has ended; it stays unreaped.
bool has_ended(pid_t pid) {
  siginfo_t info{};
  if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
    return errno != EINTR;
  }
  return info.si_pid == pid;
}

constexpr int kControlledPollMs = 50;

// Reads both pipes to their end together, so a child that fills one pipe while we
// would be waiting on the other can never stall. With a control, a signalled child that
// has ended stops the reading once nothing more is ready.
int drain(UniqueFd& out_fd, UniqueFd& err_fd, std::string& out, std::string& err,
          const ChildControl* control = nullptr, pid_t pid = -1) {
  std::array<char, kCaptureReadSize> buffer;
  bool last_round = false;
  // What a leftover grandchild writes after the child ended is read only this far.
  size_t last_reads = 64;
  while (out_fd || err_fd) {
    std::array<pollfd, 2> fds{pollfd{out_fd.get(), POLLIN, 0}, pollfd{err_fd.get(), POLLIN, 0}};
    const int timeout = last_round ? 0 : control ? kControlledPollMs : -1;
    const int ready = poll(fds.data(), fds.size(), timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (ready == 0) {
      if (last_round) break;
      if (control && control->signalled() && has_ended(pid)) last_round = true;
      continue;
    }
    if (last_round && --last_reads == 0) break;
    if (fds[0].revents != 0) {
      if (int e = read_some(out_fd, out, buffer)) return e;
    }
    if (fds[1].revents != 0) {
      if (int e = read_some(err_fd, err, buffer)) return e;
    }
  }
  return 0;
}

RunRecord spawn_failed(std::string command_line, int err) {
  return RunRecord{std::move(command_line), "", Error::from_errno(err).message(),
                   RunStatus::SpawnFailed};
}

RunRecord finish_capture(PipedChild& child, std::string command_line, ChildControl* control) {
  std::string out, err;
  const int read_error = drain(child.stdout_read, child.stderr_read, out, err, control, child.pid);
  // Closing our ends first lets a child still writing get EPIPE instead of blocking.
  child.stdout_read.reset();
  child.stderr_read.reset();
  if (control) {
    // Waits without reaping, so the control never signals a pid that could be reused.
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOWAIT) != 0 &&
           errno == EINTR) {
    }
    control->ended();
  }
  const auto status = wait_child(child.pid);
  RunRecord record{std::move(command_line), "", "", RunStatus::Failure};
  if (read_error != 0) return spawn_failed(std::move(record.command_line), read_error);
  if (!status) return spawn_failed(std::move(record.command_line), status.error());
  record.stdout_text = utf8::decode_lossy(out);
  record.stderr_text = utf8::decode_lossy(err);
  apply_wait_status(record, *status);
  return record;
}

}  // namespace

std::expected<PipedChild, int> spawn_piped(const ProcessSpec& process, StdinSource stdin_source) {
  auto out = make_pipe();
  if (!out) return std::unexpected(out.error());
  auto err = make_pipe();
  if (!err) return std::unexpected(err.error());
  SpawnSetup setup;
  if (int e = setup.configure(stdin_source, out->write.get(), err->write.get())) {
    return std::unexpected(e);
  }
  const auto pid = start(process, setup);
  if (!pid) return std::unexpected(pid.error());
  // The write ends close here, so end of file arrives once the child is done.
  return PipedChild{*pid, std::move(out->read), std::move(err->read)};
}

std::expected<int, int> wait_child(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return std::unexpected(errno);
  }
  return status;
}

RunRecord capture_process(const ProcessSpec& process, std::string command_line) {
  auto child = spawn_piped(process, StdinSource::DevNull);
  if (!child) return spawn_failed(std::move(command_line), child.error());
  return finish_capture(*child, std::move(command_line), nullptr);
}

RunRecord capture_process(const ProcessSpec& process, std::string command_line,
                          ChildControl& control) {
  auto child = spawn_piped(process, StdinSource::DevNull);
  if (!child) {
    control.ended();
    return spawn_failed(std::move(command_line), child.error());
  }
  control.started(child->pid);
  return finish_capture(*child, std::move(command_line), &control);
}

void apply_wait_status(RunRecord& record, int wait_status) {
  record.exit_code.reset();
  record.signal.reset();
  if (WIFSIGNALED(wait_status)) {
    record.signal = WTERMSIG(wait_status);
  } else if (WIFEXITED(wait_status)) {
    record.exit_code = WEXITSTATUS(wait_status);
  }
  record.status = record.exit_code == 0 ? RunStatus::Success : RunStatus::Failure;
}

bool ChildControl::signal(int sig) {
  std::lock_guard lock(mutex_);
  if (ended_) return false;
  signalled_ = true;
  if (pid_ < 0) {
    pending_ = sig;
  } else {
    ::kill(pid_, sig);
  }
  return true;
}

bool ChildControl::running() const {
  std::lock_guard lock(mutex_);
  return !ended_;
}

void ChildControl::started(pid_t pid) {
  std::lock_guard lock(mutex_);
  pid_ = pid;
  if (pending_) ::kill(pid_, *pending_);
}

void ChildControl::ended() {
  std::lock_guard lock(mutex_);
  ended_ = true;
}

bool ChildControl::signalled() const {
  std::lock_guard lock(mutex_);
  return signalled_;
}

}  // namespace stackpeek::tasks
