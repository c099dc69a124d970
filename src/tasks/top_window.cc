#include "tasks/top_window.h"

#include <algorithm>

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
  if (master_) set_window_size(master_.get(), size_);
}

void TopWindow::attach(UniqueFd master) {
  std::lock_guard lock(mutex_);
  master_ = std::move(master);
  if (master_) set_window_size(master_.get(), size_);
}

void TopWindow::detach() {
  std::lock_guard lock(mutex_);
  master_.reset();
}

}  // namespace stackpeek::tasks
