#include "common/unique_fd.h"

#include <unistd.h>

namespace stackpeek {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

}  // namespace stackpeek
