#include "tasks/runner.h"

#include <fmt/format.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <memory>
#include <system_error>
#include <thread>

#include "tasks/py_spy.h"
#include "tasks/subprocess.h"
#include "tasks/top_frame.h"

namespace stackpeek::tasks {

RunHandle::RunHandle(Receiver<TaskEvent> events, std::optional<Sender<CancelSignal>> cancel,
                     std::optional<Receiver<StoppedSignal>> stopped)
    : events_(std::move(events)), cancel_(std::move(cancel)), stopped_(std::move(stopped)) {}

RunHandle& RunHandle::operator=(RunHandle&& other) noexcept {
  if (this != &other) {
    release();
    events_ = std::move(other.events_);
    cancel_ = std::move(other.cancel_);
    stopped_ = std::move(other.stopped_);
  }
  return *this;
}

RunHandle::~RunHandle() { release(); }

void RunHandle::release() {
  // A failed send only means the worker is already gone.
  if (cancel_) cancel_->send(CancelSignal{});
  cancel_.reset();
}

void RunHandle::cancel_and_wait(std::chrono::milliseconds timeout) {
  release();
  if (stopped_) stopped_->recv_for(timeout);
}

namespace {

using namespace std::chrono_literals;

constexpr auto kTopPoll = 50ms;
// How long sudo gets to pass SIGTERM on to py-spy before it is killed outright.
constexpr auto kSudoStopGrace = 500ms;
constexpr auto kSudoStopPoll = 10ms;
constexpr const char* kTopSpawnFailed = "failed to spawn py-spy top";

RunRecord internal_failure(const SpyCommand& command, std::string_view what,
                           const std::exception& error) {
  return RunRecord{command_line(command), "", fmt::format("{}: {}", what, error.what()),
                   RunStatus::SpawnFailed};
}

// ---- capture runs ----

// An internal failure still yields a record, so the run never loses a command silently.
RunRecord run_guarded(const SpyCommand& command) {
  try {
    return run_captured(command);
  } catch (const std::exception& error) {
    return internal_failure(command, "internal failure while running the command", error);
  }
}

// Every command starts at once, so the members of a group are sampled over the same
// period; the records still come back in command order.
std::vector<RunRecord> run_all(const std::vector<SpyCommand>& commands) {
  std::vector<std::optional<RunRecord>> slots(commands.size());
  std::vector<std::thread> threads(commands.size());
  for (size_t i = 0; i < commands.size(); ++i) {
    try {
      threads[i] =
          std::thread([&slot = slots[i], &command = commands[i]] { slot = run_guarded(command); });
    } catch (const std::system_error& error) {
      slots[i] = internal_failure(commands[i], "failed to start a thread for the command", error);
    }
  }
  std::vector<RunRecord> records;
  records.reserve(commands.size());
  for (size_t i = 0; i < commands.size(); ++i) {
    if (threads[i].joinable()) threads[i].join();
    records.push_back(std::move(*slots[i]));
  }
  return records;
}

void capture_worker(const std::vector<SpyCommand>& commands, const Sender<TaskEvent>& events) {
  // The main loop may have dropped the run; then the records are simply discarded.
  events.send(Finished{run_all(commands)});
}

// ---- top runs ----

struct TopJob {
  SpyCommand command;
  Sender<TaskEvent> events;
  Receiver<CancelSignal> cancel;
  Sender<StoppedSignal> stopped;
};

void read_top_stream(int fd, const Sender<TaskEvent>& events) {
  std::string pending;
  char buffer[kTopReadSize];
  while (true) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    auto lines = top_stream_step(pending, std::string_view(buffer, static_cast<size_t>(n)));
    if (!lines.empty()) events.send(TopFrame{std::move(lines)});
  }
}

void start_reader(UniqueFd fd, const Sender<TaskEvent>& events) {
  std::thread([fd = std::move(fd), events] { read_top_stream(fd.get(), events); }).detach();
}

// Waits up to one poll interval for the cancel signal. A cancel sender that was dropped
// without a signal is no cancel: the process then runs until it ends by itself.
bool wait_for_cancel(Receiver<CancelSignal>& cancel) {
  if (cancel.closed()) {
    std::this_thread::sleep_for(kTopPoll);
    return false;
  }
  return cancel.recv_for(kTopPoll).has_value();
}

// True once `pid` has ended and been reaped.
bool reaped_within(pid_t pid, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (true) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kSudoStopPoll);
  }
}

// Stops and reaps the top process. sudo cannot pass SIGKILL on to the root py-spy it
// started, so sudo gets SIGTERM first, which it relays, and SIGKILL only if it lingers.
void stop_top_process(pid_t pid, bool through_sudo) {
  if (through_sudo) {
    kill(pid, SIGTERM);
    if (reaped_within(pid, kSudoStopGrace)) return;
  }
  kill(pid, SIGKILL);
  (void)wait_child(pid);
}

// Polls the process until it ends or the run is cancelled; the process is reaped on return.
RunStatus watch_top_process(pid_t pid, TopJob& job) {
  bool cancelled = job.cancel.try_recv().has_value();
  while (true) {
    if (cancelled) {
      stop_top_process(pid, job.command.use_sudo);
      return RunStatus::Failure;
    }
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return status == 0 ? RunStatus::Success : RunStatus::Failure;
    if (done < 0 && errno != EINTR) {
      (void)wait_child(pid);
      return RunStatus::SpawnFailed;
    }
    cancelled = wait_for_cancel(job.cancel);
  }
}

void finish_top(TopJob& job, RunRecord record) {
  job.events.send(Finished{{std::move(record)}});
  job.stopped.send(StoppedSignal{});
}

void top_worker(TopJob& job) {
  std::string line = command_line(job.command);
  auto child = spawn_piped(to_process(job.command), StdinSource::Inherit);
  if (!child) {
    finish_top(job, RunRecord{std::move(line), "", kTopSpawnFailed, RunStatus::SpawnFailed});
    return;
  }
  try {
    start_reader(std::move(child->stdout_read), job.events);
    start_reader(std::move(child->stderr_read), job.events);
  } catch (const std::system_error& error) {
    // Nobody would drain the pipes, so the process cannot be left running.
    stop_top_process(child->pid, job.command.use_sudo);
    finish_top(job,
               internal_failure(job.command, "failed to start a reader for py-spy top", error));
    return;
  }
  const RunStatus status = watch_top_process(child->pid, job);
  finish_top(job, RunRecord{std::move(line), "", "", status});
}

}  // namespace

RunHandle spawn_capture_worker(std::vector<SpyCommand> commands) {
  auto channel = make_channel<TaskEvent>();
  auto job = std::make_shared<std::vector<SpyCommand>>(std::move(commands));
  try {
    std::thread([job, events = channel.sender] { capture_worker(*job, events); }).detach();
  } catch (const std::system_error& error) {
    // Without a worker the run still ends, with every command marked as not started.
    std::vector<RunRecord> records;
    for (const auto& command : *job) {
      records.push_back(
          internal_failure(command, "failed to start the run's worker thread", error));
    }
    channel.sender.send(Finished{std::move(records)});
  }
  return RunHandle(std::move(channel.receiver), std::nullopt, std::nullopt);
}

RunHandle spawn_top_worker(SpyCommand command) {
  auto events = make_channel<TaskEvent>();
  auto cancel = make_channel<CancelSignal>();
  auto stopped = make_channel<StoppedSignal>();
  auto job = std::make_shared<TopJob>(TopJob{
      std::move(command), events.sender, std::move(cancel.receiver), std::move(stopped.sender)});
  try {
    std::thread([job] { top_worker(*job); }).detach();
  } catch (const std::system_error& error) {
    events.sender.send(
        Finished{{internal_failure(job->command, "failed to start the top worker thread", error)}});
  }
  return RunHandle(std::move(events.receiver), std::move(cancel.sender),
                   std::move(stopped.receiver));
}

}  // namespace stackpeek::tasks
