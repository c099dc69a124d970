#include "cli/line_reader.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace stackpeek::cli {

LineReader::LineReader(int fd, size_t chunk) : fd_(fd), chunk_(chunk) {}

// Moves the unread text to the front, makes room for a chunk, and reads once.
Result<size_t> LineReader::fill() {
  if (begin_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  if (buffer_.size() < end_ + chunk_ + kLinePadding) buffer_.resize(end_ + chunk_ + kLinePadding);
  while (true) {
    const ssize_t got = ::read(fd_, buffer_.data() + end_, chunk_);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return os_error(errno);
    end_ += static_cast<size_t>(got);
    return static_cast<size_t>(got);
  }
}

Result<std::optional<std::string_view>> LineReader::next() {
  size_t searched = begin_;
  while (true) {
    const char* data = buffer_.data();
    const void* feed = end_ > searched ? memrchr(data + searched, '\n', end_ - searched) : nullptr;
    if (feed != nullptr) {
      const size_t at = static_cast<size_t>(static_cast<const char*>(feed) - data);
      const std::string_view lines(data + begin_, at + 1 - begin_);
      begin_ = at + 1;
      return lines;
    }
    if (eof_) {
      if (begin_ == end_) return std::nullopt;
      std::memset(buffer_.data() + end_, 0, kLinePadding);
      const std::string_view last(buffer_.data() + begin_, end_ - begin_);
      begin_ = end_;
      return last;
    }
    searched = end_ - begin_;  // where the search goes on once fill moved the text
    auto got = fill();
    if (!got) return std::unexpected(got.error());
    eof_ = *got == 0;
  }
}

}  // namespace stackpeek::cli
