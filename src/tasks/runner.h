#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "common/channel.h"
#include "common/run_record.h"
#include "tasks/py_spy.h"

namespace stackpeek::tasks {

/// The lines of one live top screen (at most 32).
struct TopFrame {
  std::vector<std::string> lines;
};

/// The end of a run: one record per command, in command order.
struct Finished {
  std::vector<RunRecord> records;
};

using TaskEvent = std::variant<TopFrame, Finished>;

struct CancelSignal {};
struct StoppedSignal {};

/// The main loop's handle on the active run. Destroying it sends the cancel signal
/// (top runs) and closes the channels; it never waits for the worker.
class RunHandle {
 public:
  RunHandle(Receiver<TaskEvent> events, std::optional<Sender<CancelSignal>> cancel,
            std::optional<Receiver<StoppedSignal>> stopped);
  RunHandle(RunHandle&&) noexcept = default;
  RunHandle& operator=(RunHandle&&) noexcept;
  ~RunHandle();

  /// The next waiting event, without blocking.
  std::optional<TaskEvent> try_recv() { return events_.try_recv(); }
  /// True when no event waits and every sender is gone.
  bool closed() const { return events_.closed(); }
  /// True for live top runs.
  bool cancellable() const { return cancel_.has_value(); }

  /// Sends the cancel signal and waits up to `timeout` for a top worker to have stopped
  /// its process; used before the terminal is given back at exit.
  void cancel_and_wait(std::chrono::milliseconds timeout);

 private:
  void release();

  Receiver<TaskEvent> events_;
  std::optional<Sender<CancelSignal>> cancel_;
  std::optional<Receiver<StoppedSignal>> stopped_;
};

/// Runs every command at once on its own thread and sends one Finished with the records
/// in command order. Returns at once.
RunHandle spawn_capture_worker(std::vector<SpyCommand> commands);

/// Streams one py-spy top command as TopFrame events until it ends or is cancelled.
RunHandle spawn_top_worker(SpyCommand command);

}  // namespace stackpeek::tasks
