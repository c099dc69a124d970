#include "tasks/subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <vector>

#include "common/utf8.h"
#include "tasks/spawn.h"

namespace stackpeek::tasks {
namespace {

constexpr size_t kCaptureReadSize = 64 * 1024;

struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

// Close-on-exec from the start, so a sibling child spawned at the same moment from
// another thread never inherits this pipe and never holds its write end open.
std::expected<Pipe, int> make_pipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return std::unexpected(errno);
  Pipe pipe{UniqueFd(above_std_streams(fds[0])), UniqueFd(above_std_streams(fds[1]))};
  if (!pipe.read || !pipe.write) return std::unexpected(errno);
  return pipe;
}

std::expected<UniqueFd, int> open_dev_null() {
  UniqueFd fd(above_std_streams(open("/dev/null", O_RDONLY | O_CLOEXEC)));
  if (!fd) return std::unexpected(errno);
  return fd;
}

std::expected<pid_t, int> start(const ProcessSpec& process, int stdin_fd, int stdout_fd,
                                int stderr_fd, bool own_session) {
  auto path = resolve_program(process.program, process.search_path);
  if (!path) return std::unexpected(path.error());
  ChildSetup setup{.path = *path,
                   .argv = {},
                   .stdin_fd = stdin_fd,
                   .stdout_fd = stdout_fd,
                   .stderr_fd = stderr_fd,
                   .own_session = own_session,
                   .death_signal = process.death_signal,
                   .own_process_group = process.own_process_group && !own_session};
  setup.argv.reserve(process.args.size() + 1);
  setup.argv.push_back(*path);
  setup.argv.insert(setup.argv.end(), process.args.begin(), process.args.end());
  // A missing or non-executable program makes the start itself fail, so it shows up here
  // as a start failure rather than as an exit status.
  return spawn_child(setup);
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

// How often a signalled child's reader looks whether the child has ended while a
// grandchild still holds its pipes; also the reader's pace when it has no wake descriptor.
constexpr int kControlledPollMs = 50;

// The reader's poll timeout: none, so that it sleeps until output or the control's wake,
// until the child is signalled; then a poll interval, so that it notices the child's end
// while a grandchild still holds the pipes.
int poll_timeout(const ChildControl* control, bool last_round) {
  if (last_round) return 0;
  if (!control) return -1;
  return control->wake_fd() >= 0 && !control->signalled() ? -1 : kControlledPollMs;
}

// Reads both pipes to their end together, so a child that fills one pipe while we
// would be waiting on the other can never stall. With a control, a signalled child that
// has ended stops the reading once nothing more is ready.
int drain(UniqueFd& out_fd, UniqueFd& err_fd, std::string& out, std::string& err,
          const ChildControl* control = nullptr, pid_t pid = -1) {
  std::array<char, kCaptureReadSize> buffer;
  bool last_round = false;
  // What a leftover grandchild writes after the child ended is read only this far.
  size_t last_reads = 64;
  const int wake_fd = control ? control->wake_fd() : -1;
  while (out_fd || err_fd) {
    std::array<pollfd, 3> fds{pollfd{out_fd.get(), POLLIN, 0}, pollfd{err_fd.get(), POLLIN, 0},
                              pollfd{wake_fd, POLLIN, 0}};
    const int ready = poll(fds.data(), fds.size(), poll_timeout(control, last_round));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (fds[2].revents != 0) control->clear_wake();
    if (ready == 0 || (ready == 1 && fds[2].revents != 0)) {
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

// The record with how long its process ran; one that never started has no time.
RunRecord timed(RunRecord record, std::chrono::steady_clock::time_point started) {
  if (record.status != RunStatus::SpawnFailed) {
    record.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  }
  return record;
}

}  // namespace

std::expected<PipedChild, int> spawn_piped(const ProcessSpec& process) {
  auto in = open_dev_null();
  if (!in) return std::unexpected(in.error());
  auto out = make_pipe();
  if (!out) return std::unexpected(out.error());
  auto err = make_pipe();
  if (!err) return std::unexpected(err.error());
  const auto pid = start(process, in->get(), out->write.get(), err->write.get(), false);
  if (!pid) return std::unexpected(pid.error());
  // The write ends close here, so end of file arrives once the child is done.
  return PipedChild{*pid, std::move(out->read), std::move(err->read), UniqueFd()};
}

std::expected<PipedChild, int> spawn_fed(const ProcessSpec& process) {
  auto in = make_pipe();
  if (!in) return std::unexpected(in.error());
  auto out = make_pipe();
  if (!out) return std::unexpected(out.error());
  auto err = make_pipe();
  if (!err) return std::unexpected(err.error());
  const auto pid = start(process, in->read.get(), out->write.get(), err->write.get(), false);
  if (!pid) return std::unexpected(pid.error());
  return PipedChild{*pid, std::move(out->read), std::move(err->read), std::move(in->write)};
}

std::expected<PipedChild, int> spawn_on_terminal(const ProcessSpec& process, int terminal_fd) {
  auto err = make_pipe();
  if (!err) return std::unexpected(err.error());
  const auto pid = start(process, terminal_fd, terminal_fd, err->write.get(), true);
  if (!pid) return std::unexpected(pid.error());
  return PipedChild{*pid, UniqueFd(), std::move(err->read), UniqueFd()};
}

std::expected<int, int> wait_child(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return std::unexpected(errno);
  }
  return status;
}

RunRecord capture_process(const ProcessSpec& process, std::string command_line) {
  const auto started = std::chrono::steady_clock::now();
  auto child = spawn_piped(process);
  if (!child) return spawn_failed(std::move(command_line), child.error());
  return timed(finish_capture(*child, std::move(command_line), nullptr), started);
}

RunRecord capture_process(const ProcessSpec& process, std::string command_line,
                          ChildControl& control) {
  const auto started = std::chrono::steady_clock::now();
  auto child = spawn_piped(process);
  if (!child) {
    control.ended();
    return spawn_failed(std::move(command_line), child.error());
  }
  control.started(child->pid);
  return timed(finish_capture(*child, std::move(command_line), &control), started);
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

ChildControl::ChildControl() : wake_(above_std_streams(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))) {}

bool ChildControl::signal(int sig) {
  std::lock_guard lock(mutex_);
  if (ended_) return false;
  signalled_ = true;
  if (pid_ < 0) {
    pending_ = sig;
  } else {
    ::kill(pid_, sig);
  }
  if (wake_) (void)eventfd_write(wake_.get(), 1);
  return true;
}

void ChildControl::clear_wake() const {
  eventfd_t count = 0;
  (void)eventfd_read(wake_.get(), &count);
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
