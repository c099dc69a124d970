#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "common/channel.h"
#include "common/run_record.h"
#include "tasks/pty.h"
#include "tasks/py_spy.h"
#include "tasks/top_window.h"

namespace stackpeek::tasks {

/// The lines of one live top screen (at most 32).
struct TopFrame {
  std::vector<std::string> lines;
};

/// The end of a run: one record per command, in command order.
struct Finished {
  std::vector<RunRecord> records;
  /// One per final dump command, in order, taken once the commands had ended (see
  /// spawn_capture_worker); empty when none were asked or the run was stopped at once.
  std::vector<RunRecord> final_dumps;
};

using TaskEvent = std::variant<TopFrame, Finished>;

/// A request to stop the run; `at_once` cuts short the grace of commands already asked.
struct CancelSignal {
  bool at_once = false;
};
struct StoppedSignal {};

/// The main loop's handle on the active run. Destroying it sends the cancel signal and
/// closes the channels; it never waits for the worker.
class RunHandle {
 public:
  RunHandle(Receiver<TaskEvent> events, std::optional<Sender<CancelSignal>> cancel,
            std::optional<Receiver<StoppedSignal>> stopped,
            std::shared_ptr<TopWindow> top_window = nullptr);
  RunHandle(RunHandle&&) noexcept = default;
  RunHandle& operator=(RunHandle&&) noexcept;
  ~RunHandle();

  /// The next waiting event, without blocking.
  std::optional<TaskEvent> try_recv() { return events_.try_recv(); }
  /// True when no event waits and every sender is gone.
  bool closed() const { return events_.closed(); }
  /// True for live top runs.
  bool live_top() const { return top_window_ != nullptr; }
  /// Gives a live top's terminal this size (the output pane's inner size); nothing for
  /// other runs, or when the size is unchanged.
  void resize(WindowSize size);

  /// Asks the worker to stop its commands, without blocking. The handle stays open: the
  /// run's Finished still arrives, with every command's record as it ended. A capture
  /// worker sends SIGINT to each command still running (through sudo, to sudo, which
  /// relays it to py-spy), SIGKILL after 2 s to those still alive (a sudo command gets
  /// SIGTERM to relay first, then SIGKILL 0.5 s later), reaps them, then sends Finished;
  /// a top worker stops its process at once. Later calls do nothing more.
  void cancel();
  /// True once cancel() (or cancel_and_wait) was called.
  bool cancel_requested() const { return cancel_requested_; }

  /// cancel(), then waits up to `timeout` for the worker to have stopped its processes
  /// (and to have sent Finished); used before the terminal is given back at exit.
  void cancel_and_wait(std::chrono::milliseconds timeout);

  /// Like cancel_and_wait, but commands still running get no grace: SIGKILL at once (a
  /// sudo command SIGTERM to relay, then SIGKILL). Used when the user will not wait.
  void kill_and_wait(std::chrono::milliseconds timeout);

 private:
  void release();

  Receiver<TaskEvent> events_;
  std::optional<Sender<CancelSignal>> cancel_;
  std::optional<Receiver<StoppedSignal>> stopped_;
  std::shared_ptr<TopWindow> top_window_;
  bool cancel_requested_ = false;
};

/// Runs every command at once on its own thread and sends one Finished with the records
/// in command order. Returns at once. The run stops its commands when cancelled (see
/// RunHandle::cancel) or when its handle is dropped. Once the commands have ended, however
/// they ended, the `final_dumps` commands run the same way (a record run's last look at
/// the stacks), unless the run was asked to stop at once or its handle is gone; a cancel
/// while they run drops their records.
RunHandle spawn_capture_worker(std::vector<SpyCommand> commands,
                               std::vector<SpyCommand> final_dumps = {});

/// Streams one py-spy top command as TopFrame events until it ends or is cancelled. The
/// command runs on a pseudo-terminal of its own of `size` (see RunHandle::resize), which it
/// needs for its key reading, so no key the user types reaches it. Its record's stdout_text
/// holds what the process printed after its last screen (such as "process N ended"), its
/// stderr_text the text of standard error (see top_stream_trailer).
RunHandle spawn_top_worker(SpyCommand command, WindowSize size = {});

}  // namespace stackpeek::tasks
