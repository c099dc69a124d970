#include "tasks/top_window.h"

#include <unistd.h>

#include <algorithm>
#include <string>

#include "tasks/top_relay.h"

namespace stackpeek::tasks {

WindowSize top_terminal_size(WindowSize pane) {
  constexpr uint16_t kMinRows = 10, kMinCols = 60;
  return {std::max(pane.rows, kMinRows), std::max(pane.cols, kMinCols)};
}

WindowSize TopWindow::size() const {
  std::lock_guard lock(mutex_);
  return size_;
}

void TopWindow::resize(WindowSize pane) {
  const WindowSize size = top_terminal_size(pane);
  std::lock_guard lock(mutex_);
  if (size == size_) return;
  size_ = size;
  apply();
}

void TopWindow::attach(UniqueFd master) {
  std::lock_guard lock(mutex_);
  master_ = std::move(master);
  requests_ = false;
  apply();
}

void TopWindow::attach_requests(UniqueFd requests) {
  std::lock_guard lock(mutex_);
  master_ = std::move(requests);
  requests_ = true;
  apply();
}

// A request the relay has not yet read never blocks the main loop: the pipe is
// non-blocking, and a lost request only leaves the old size until the next.
void TopWindow::apply() const {
  if (!master_) return;
  if (!requests_) {
    set_window_size(master_.get(), size_);
    return;
  }
  const std::string line = resize_request(size_);
  [[maybe_unused]] const ssize_t written = write(master_.get(), line.data(), line.size());
}

void TopWindow::detach() {
  std::lock_guard lock(mutex_);
  master_.reset();
}

}  // namespace stackpeek::tasks
