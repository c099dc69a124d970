#pragma once

#include <cstdint>
#include <expected>

#include "common/unique_fd.h"

namespace stackpeek::tasks {

/// The size of a terminal in character cells.
struct WindowSize {
  uint16_t rows = 24;
  uint16_t cols = 80;
  bool operator==(const WindowSize&) const = default;
};

/// A pseudo-terminal of the program's own: the master it reads, and the slave side that a
/// child gets as its terminal. Both close on exec and sit above descriptor 2.
struct Pty {
  UniqueFd master;
  UniqueFd slave;
};

/// Opens a pseudo-terminal of `size` in raw mode, so what a child writes arrives as it
/// was written (no carriage return added to line feeds) and nothing is echoed. The error is
/// the errno of the failed step.
std::expected<Pty, int> open_pty(WindowSize size);

/// Sets the window size of the pseudo-terminal whose master is `master_fd`; the session
/// on it gets SIGWINCH. The errno on failure, else 0.
int set_window_size(int master_fd, WindowSize size);

}  // namespace stackpeek::tasks
