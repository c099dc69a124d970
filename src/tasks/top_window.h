#pragma once

#include <mutex>

#include "common/unique_fd.h"
#include "tasks/pty.h"

namespace stackpeek::tasks {

/// The terminal size py-spy top gets for a pane of `pane` cells: the pane, but at least 60
/// columns and 10 rows. On a terminal narrower than its header line or lower than 8 rows
/// py-spy 0.4 writes empty lines without end.
WindowSize top_terminal_size(WindowSize pane);

/// The window size of a live top's pseudo-terminal, shared by the main loop, which follows
/// the output pane, and the worker, which owns the terminal while its process runs. Sizes
/// given are the pane's; the terminal gets top_terminal_size of them.
class TopWindow {
 public:
  explicit TopWindow(WindowSize pane) : size_(top_terminal_size(pane)) {}

  /// The size the terminal is to have.
  WindowSize size() const;
  /// Records the size for `pane` and applies it to the attached terminal when it differs.
  void resize(WindowSize pane);
  /// From now on resizes reach the terminal of `master` (a descriptor of its own, closed
  /// on detach); the size recorded so far is applied at once.
  void attach(UniqueFd master);
  /// Like attach, but sizes go as resize_request lines to the relay's standard input
  /// (`requests`, the write end of a pipe) that a live top through sudo runs.
  void attach_requests(UniqueFd requests);
  /// Closes the attached descriptor; later resizes are only recorded.
  void detach();

 private:
  mutable std::mutex mutex_;
  void apply() const;

  WindowSize size_;
  UniqueFd master_;
  bool requests_ = false;
};

}  // namespace stackpeek::tasks
