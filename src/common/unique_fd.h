#pragma once

#include <utility>

namespace stackpeek {

/// An owned file descriptor, closed when dropped.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  ~UniqueFd() { reset(); }

  /// The descriptor, or -1 when none is held.
  int get() const { return fd_; }
  /// True while a descriptor is held.
  explicit operator bool() const { return fd_ >= 0; }
  /// Closes the descriptor held so far and takes `fd`.
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

}  // namespace stackpeek
