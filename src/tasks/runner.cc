#include "tasks/runner.h"

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

}  // namespace stackpeek::tasks
