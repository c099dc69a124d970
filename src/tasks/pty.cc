#include "tasks/pty.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "tasks/spawn.h"

namespace stackpeek::tasks {

std::expected<Pty, int> open_pty(WindowSize size) {
  Pty pty;
  pty.master.reset(above_std_streams(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)));
  if (!pty.master) return std::unexpected(errno);
  if (grantpt(pty.master.get()) != 0 || unlockpt(pty.master.get()) != 0) {
    return std::unexpected(errno);
  }
  std::array<char, 128> name{};
  if (int err = ptsname_r(pty.master.get(), name.data(), name.size())) return std::unexpected(err);
  pty.slave.reset(above_std_streams(open(name.data(), O_RDWR | O_NOCTTY | O_CLOEXEC)));
  if (!pty.slave) return std::unexpected(errno);
  termios modes{};
  if (tcgetattr(pty.slave.get(), &modes) != 0) return std::unexpected(errno);
  cfmakeraw(&modes);
  if (tcsetattr(pty.slave.get(), TCSANOW, &modes) != 0) return std::unexpected(errno);
  if (int err = set_window_size(pty.master.get(), size)) return std::unexpected(err);
  return pty;
}

int set_window_size(int master_fd, WindowSize size) {
  winsize window{};
  window.ws_row = size.rows;
  window.ws_col = size.cols;
  return ioctl(master_fd, TIOCSWINSZ, &window) == 0 ? 0 : errno;
}

}  // namespace stackpeek::tasks
