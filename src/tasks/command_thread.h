#pragma once

#include <pthread.h>

#include <functional>
#include <optional>

namespace stackpeek::tasks {

/// A thread for one command of a run, on a 512 KiB stack instead of the default 8 MiB. The
/// C library keeps freed stacks up to 40 MiB in all for reuse, so the threads of a 64-command
/// run take their stacks from there round after round instead of mapping, faulting in and
/// unmapping fresh ones.
class CommandThread {
 public:
  CommandThread() = default;
  CommandThread(const CommandThread&) = delete;
  CommandThread& operator=(const CommandThread&) = delete;
  /// Waits for the thread, unless it was joined already.
  ~CommandThread();

  /// Starts `body` on a new thread; throws std::system_error when no thread can be started.
  /// At most once per object.
  void start(std::function<void()> body);
  bool joinable() const { return thread_.has_value(); }
  void join();

 private:
  std::optional<pthread_t> thread_;
};

}  // namespace stackpeek::tasks
