#include "tasks/runner.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <memory>
#include <system_error>
#include <thread>

#include "common/error.h"
#include "tasks/command_thread.h"
#include "tasks/py_spy.h"
#include "tasks/subprocess.h"
#include "tasks/top_frame.h"
#include "tasks/top_relay.h"

namespace stackpeek::tasks {

RunHandle::RunHandle(Receiver<TaskEvent> events, std::optional<Sender<CancelSignal>> cancel,
                     std::optional<Receiver<StoppedSignal>> stopped,
                     std::shared_ptr<TopWindow> top_window)
    : events_(std::move(events)),
      cancel_(std::move(cancel)),
      stopped_(std::move(stopped)),
      top_window_(std::move(top_window)) {}

RunHandle& RunHandle::operator=(RunHandle&& other) noexcept {
  if (this != &other) {
    release();
    events_ = std::move(other.events_);
    cancel_ = std::move(other.cancel_);
    stopped_ = std::move(other.stopped_);
    top_window_ = std::move(other.top_window_);
    cancel_requested_ = other.cancel_requested_;
  }
  return *this;
}

RunHandle::~RunHandle() { release(); }

void RunHandle::release() {
  // A failed send only means the worker is already gone.
  if (cancel_) cancel_->send(CancelSignal{});
  cancel_.reset();
}

// The sender stays open after the first request, so that kill_and_wait can still cut the
// grace short.
void RunHandle::cancel() {
  if (!cancel_requested_ && cancel_) cancel_->send(CancelSignal{});
  cancel_requested_ = true;
}

void RunHandle::resize(WindowSize size) {
  if (top_window_) top_window_->resize(size);
}

void RunHandle::cancel_and_wait(std::chrono::milliseconds timeout) {
  cancel();
  if (stopped_) stopped_->recv_for(timeout);
}

void RunHandle::kill_and_wait(std::chrono::milliseconds timeout) {
  cancel_requested_ = true;
  if (cancel_) cancel_->send(CancelSignal{true});
  if (stopped_) stopped_->recv_for(timeout);
}

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kTopPoll = 50ms;
// How long sudo gets to pass SIGTERM on to py-spy before it is killed outright.
constexpr auto kSudoStopGrace = 500ms;
constexpr auto kSudoStopPoll = 10ms;
constexpr const char* kTopSpawnFailed = "failed to spawn py-spy top";
constexpr const char* kTopTerminalFailed = "failed to open a terminal for py-spy top";

RunRecord internal_failure(const SpyCommand& command, std::string_view what,
                           const std::exception& error) {
  return RunRecord{command_line(command), "", fmt::format("{}: {}", what, error.what()),
                   RunStatus::SpawnFailed};
}

// ---- capture runs ----

// How long cancelled commands get to stop after SIGINT (py-spy record then writes what it
// has sampled) before SIGKILL.
constexpr auto kCancelGrace = 2s;

struct CaptureJob {
  std::vector<SpyCommand> commands;
  std::vector<SpyCommand> final_dumps;
  Receiver<CancelSignal> cancel;
  Sender<StoppedSignal> stopped;
};

// How a group of commands ended: stopped by a cancel, and whether that asked for at once.
struct StopSeen {
  bool stopped = false;
  bool at_once = false;
};

// One command's thread and what it shares with the worker.
struct CommandSlot {
  ChildControl control;
  std::optional<RunRecord> record;
  CommandThread thread;
};

// An internal failure still yields a record, so the run never loses a command silently.
RunRecord run_guarded(const SpyCommand& command, ChildControl& control) {
  try {
    return capture_process(to_process(command), command_line(command), control);
  } catch (const std::exception& error) {
    control.ended();
    return internal_failure(command, "internal failure while running the command", error);
  }
}

// Signals every command that has not ended; through sudo, `sudo_sig` instead.
void signal_running(std::vector<CommandSlot>& slots, const std::vector<SpyCommand>& commands,
                    int sig, int sudo_sig) {
  for (size_t i = 0; i < slots.size(); ++i) {
    slots[i].control.signal(commands[i].use_sudo ? sudo_sig : sig);
  }
}

bool all_ended(const std::vector<CommandSlot>& slots) {
  return std::ranges::none_of(slots,
                              [](const CommandSlot& slot) { return slot.control.running(); });
}

bool asked_at_once(Receiver<CancelSignal>& cancel, StopSeen& seen) {
  while (auto signal = cancel.try_recv()) {
    if (signal->at_once) seen.at_once = true;
  }
  return seen.at_once;
}

// Waits until every command has ended, until `deadline`, or until a cancel asks for an
// end at once; true when all have ended.
bool wait_all_ended(const std::vector<CommandSlot>& slots, Clock::time_point deadline,
                    Receiver<CancelSignal>& cancel, StopSeen& seen) {
  while (!all_ended(slots)) {
    if (Clock::now() >= deadline || asked_at_once(cancel, seen)) return false;
    std::this_thread::sleep_for(kSudoStopPoll);
  }
  return true;
}

// SIGINT first (skipped when asked to stop at once), SIGKILL to what is left after the
// grace; a sudo command gets SIGTERM to relay to py-spy before SIGKILL, since sudo cannot
// relay SIGKILL.
void stop_commands(std::vector<CommandSlot>& slots, const std::vector<SpyCommand>& commands,
                   CancelSignal first, Receiver<CancelSignal>& cancel, StopSeen& seen) {
  seen.stopped = true;
  seen.at_once = seen.at_once || first.at_once;
  if (!first.at_once) {
    signal_running(slots, commands, SIGINT, SIGINT);
    if (wait_all_ended(slots, Clock::now() + kCancelGrace, cancel, seen)) return;
  }
  signal_running(slots, commands, SIGKILL, SIGTERM);
  if (wait_all_ended(slots, Clock::now() + kSudoStopGrace, cancel, seen)) return;
  signal_running(slots, commands, SIGKILL, SIGKILL);
}

// Waits up to one poll interval for a cancel request. A dropped sender without a request
// is no cancel: the commands then run until they end by themselves.
std::optional<CancelSignal> next_cancel(Receiver<CancelSignal>& cancel) {
  if (cancel.closed()) {
    std::this_thread::sleep_for(kTopPoll);
    return std::nullopt;
  }
  return cancel.recv_for(kTopPoll);
}

// Every command starts at once, so the members of a group are sampled over the same
// period; the records still come back in command order.
std::vector<RunRecord> run_all(const std::vector<SpyCommand>& commands,
                               Receiver<CancelSignal>& cancel, StopSeen& seen) {
  std::vector<CommandSlot> slots(commands.size());
  for (size_t i = 0; i < commands.size(); ++i) {
    try {
      slots[i].thread.start([&slot = slots[i], &command = commands[i]] {
        slot.record = run_guarded(command, slot.control);
      });
    } catch (const std::system_error& error) {
      slots[i].control.ended();
      slots[i].record =
          internal_failure(commands[i], "failed to start a thread for the command", error);
    }
  }
  // Until every command has ended by itself, or the run is cancelled.
  while (!all_ended(slots)) {
    if (const auto request = next_cancel(cancel)) {
      stop_commands(slots, commands, *request, cancel, seen);
      break;
    }
  }
  std::vector<RunRecord> records;
  records.reserve(commands.size());
  for (auto& slot : slots) {
    if (slot.thread.joinable()) slot.thread.join();
    records.push_back(std::move(*slot.record));
  }
  return records;
}

void capture_worker(CaptureJob& job, const Sender<TaskEvent>& events) {
  StopSeen seen;
  Finished finished{.records = run_all(job.commands, job.cancel, seen), .final_dumps = {}};
  if (!job.final_dumps.empty() && !seen.at_once && !job.cancel.closed()) {
    StopSeen dump_seen;
    auto dumps = run_all(job.final_dumps, job.cancel, dump_seen);
    if (!dump_seen.stopped) finished.final_dumps = std::move(dumps);
  }
  // The main loop may have dropped the run; then the records are simply discarded.
  events.send(std::move(finished));
  job.stopped.send(StoppedSignal{});
}

// ---- top runs ----

struct TopJob {
  SpyCommand command;
  std::shared_ptr<TopWindow> window;
  Sender<TaskEvent> events;
  Receiver<CancelSignal> cancel;
  Sender<StoppedSignal> stopped;
};

// What one output stream of the top process left when it ended.
struct StreamEnd {
  size_t stream = 0;  // 0 standard output, 1 standard error
  std::string trailer;
};

// How long the worker waits for the readers' last words once the process is reaped; a
// stream still held open (by a grandchild) gives nothing.
constexpr auto kReaderGrace = 200ms;

void read_top_stream(int fd, const Sender<TaskEvent>& events, size_t stream,
                     const Sender<StreamEnd>& ends) {
  std::string pending;
  char buffer[kTopReadSize];
  while (true) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    // A pseudo-terminal's master tells the end (no slave side left open) by EIO.
    if (n <= 0) break;
    auto lines = top_stream_step(pending, std::string_view(buffer, static_cast<size_t>(n)));
    if (!lines.empty()) events.send(TopFrame{std::move(lines)});
  }
  // Sent after the last frame, so the Finished that waits for it comes after it too.
  ends.send(StreamEnd{stream, top_stream_trailer(pending)});
}

void start_reader(UniqueFd fd, const Sender<TaskEvent>& events, size_t stream,
                  const Sender<StreamEnd>& ends) {
  std::thread([fd = std::move(fd), events, stream, ends] {
    read_top_stream(fd.get(), events, stream, ends);
  }).detach();
}

// The trailers of both streams, as far as they arrive in time.
void collect_trailers(Receiver<StreamEnd>& ends, RunRecord& record) {
  const auto deadline = Clock::now() + kReaderGrace;
  for (int received = 0; received < 2;) {
    const auto now = Clock::now();
    if (now >= deadline || ends.closed()) break;
    auto end = ends.recv_for(std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
    if (!end) continue;
    (end->stream == 0 ? record.stdout_text : record.stderr_text) = std::move(end->trailer);
    ++received;
  }
}

// True once `pid` has ended and been reaped; its wait status in `status`, if it was ours.
bool reaped_within(pid_t pid, std::chrono::milliseconds limit, std::optional<int>& status) {
  const auto deadline = Clock::now() + limit;
  while (true) {
    int raw = 0;
    const pid_t done = waitpid(pid, &raw, WNOHANG);
    if (done == pid) status = raw;
    if (done == pid || (done < 0 && errno != EINTR)) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kSudoStopPoll);
  }
}

// Stops and reaps the top process; its wait status when known. sudo cannot pass SIGKILL on
// to the root py-spy it started, so sudo gets SIGTERM first, which it relays, and SIGKILL
// only if it lingers.
std::optional<int> stop_top_process(pid_t pid, bool through_sudo) {
  std::optional<int> status;
  if (through_sudo) {
    kill(pid, SIGTERM);
    if (reaped_within(pid, kSudoStopGrace, status)) return status;
  }
  kill(pid, SIGKILL);
  if (auto waited = wait_child(pid)) status = *waited;
  return status;
}

// Polls the process until it ends or the run is cancelled; the process is reaped on return
// and `record` tells how it ended (a cancelled run is a Failure).
void watch_top_process(pid_t pid, TopJob& job, RunRecord& record) {
  bool cancelled = job.cancel.try_recv().has_value();
  while (true) {
    if (cancelled) {
      const auto status = stop_top_process(pid, job.command.use_sudo);
      if (status) apply_wait_status(record, *status);
      record.status = RunStatus::Failure;
      return;
    }
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      apply_wait_status(record, status);
      return;
    }
    if (done < 0 && errno != EINTR) {
      (void)wait_child(pid);
      record.status = RunStatus::SpawnFailed;
      return;
    }
    cancelled = next_cancel(job.cancel).has_value();
  }
}

void finish_top(TopJob& job, RunRecord record) {
  job.events.send(Finished{.records = {std::move(record)}, .final_dumps = {}});
  job.stopped.send(StoppedSignal{});
}

// A second descriptor of the master for the window, so that resizing never meets a
// descriptor the reader has closed.
void attach_window(TopWindow& window, const Pty& pty) {
  window.attach(UniqueFd(fcntl(pty.master.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1)));
}

// Starts the command (through sudo, the relay; see top_relay_process), its readers and the
// window's link to it, and watches it to the end.
void run_top_child(TopJob& job, PipedChild child, UniqueFd& slave, std::string line) {
  auto ends = make_channel<StreamEnd>();
  try {
    start_reader(std::move(child.stdout_read), job.events, 0, ends.sender);
    start_reader(std::move(child.stderr_read), job.events, 1, ends.sender);
  } catch (const std::system_error& error) {
    // Nobody would drain the output, so the process cannot be left running.
    stop_top_process(child.pid, job.command.use_sudo);
    job.window->detach();
    finish_top(job,
               internal_failure(job.command, "failed to start a reader for py-spy top", error));
    return;
  }
  ends.sender.reset();
  RunRecord record{std::move(line), "", "", RunStatus::Failure};
  watch_top_process(child.pid, job, record);
  // The terminal reads end once no process holds its slave side any more; ours is held
  // until now so that the reader cannot see that end before the process has started.
  slave.reset();
  collect_trailers(ends.receiver, record);
  job.window->detach();
  finish_top(job, std::move(record));
}

void top_worker_through_sudo(TopJob& job) {
  std::string line = command_line(job.command);
  auto child = spawn_fed(top_relay_process(job.command, job.window->size()));
  if (!child) {
    finish_top(job, RunRecord{std::move(line), "", kTopSpawnFailed, RunStatus::SpawnFailed});
    return;
  }
  fcntl(child->stdin_write.get(), F_SETFL, O_NONBLOCK);
  job.window->attach_requests(std::move(child->stdin_write));
  UniqueFd no_slave;
  run_top_child(job, std::move(*child), no_slave, std::move(line));
}

void top_worker(TopJob& job) {
  if (job.command.use_sudo) {
    top_worker_through_sudo(job);
    return;
  }
  std::string line = command_line(job.command);
  auto pty = open_pty(job.window->size());
  if (!pty) {
    finish_top(job, RunRecord{std::move(line), "",
                              fmt::format("{}: {}", kTopTerminalFailed,
                                          Error::from_errno(pty.error()).message()),
                              RunStatus::SpawnFailed});
    return;
  }
  attach_window(*job.window, *pty);
  auto child = spawn_on_terminal(to_process(job.command), pty->slave.get());
  if (!child) {
    job.window->detach();
    finish_top(job, RunRecord{std::move(line), "", kTopSpawnFailed, RunStatus::SpawnFailed});
    return;
  }
  child->stdout_read = std::move(pty->master);
  run_top_child(job, std::move(*child), pty->slave, std::move(line));
}

}  // namespace

RunHandle spawn_capture_worker(std::vector<SpyCommand> commands,
                               std::vector<SpyCommand> final_dumps) {
  auto channel = make_channel<TaskEvent>();
  auto cancel = make_channel<CancelSignal>();
  auto stopped = make_channel<StoppedSignal>();
  auto job = std::make_shared<CaptureJob>(CaptureJob{.commands = std::move(commands),
                                                     .final_dumps = std::move(final_dumps),
                                                     .cancel = std::move(cancel.receiver),
                                                     .stopped = std::move(stopped.sender)});
  try {
    std::thread([job, events = channel.sender] { capture_worker(*job, events); }).detach();
  } catch (const std::system_error& error) {
    // Without a worker the run still ends, with every command marked as not started.
    std::vector<RunRecord> records;
    for (const auto& command : job->commands) {
      records.push_back(
          internal_failure(command, "failed to start the run's worker thread", error));
    }
    channel.sender.send(Finished{.records = std::move(records), .final_dumps = {}});
  }
  return RunHandle(std::move(channel.receiver), std::move(cancel.sender),
                   std::move(stopped.receiver));
}

RunHandle spawn_top_worker(SpyCommand command, WindowSize size) {
  auto events = make_channel<TaskEvent>();
  auto cancel = make_channel<CancelSignal>();
  auto stopped = make_channel<StoppedSignal>();
  auto window = std::make_shared<TopWindow>(size);
  auto job =
      std::make_shared<TopJob>(TopJob{std::move(command), window, events.sender,
                                      std::move(cancel.receiver), std::move(stopped.sender)});
  try {
    std::thread([job] { top_worker(*job); }).detach();
  } catch (const std::system_error& error) {
    events.sender.send(Finished{
        .records = {internal_failure(job->command, "failed to start the top worker thread", error)},
        .final_dumps = {}});
  }
  return RunHandle(std::move(events.receiver), std::move(cancel.sender),
                   std::move(stopped.receiver), std::move(window));
}

}  // namespace stackpeek::tasks
