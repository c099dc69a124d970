#pragma once

// Reads a file descriptor line by line in large chunks, holding only the current chunk (and
// a line longer than it). Each line comes with padding readable after it, as the JSON
// parser needs.

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "common/error.h"

namespace stackpeek::cli {

/// Bytes that may be read after the end of a line given by LineReader.
inline constexpr size_t kLinePadding = 64;

class LineReader {
 public:
  explicit LineReader(int fd, size_t chunk = size_t{1} << 22);

  /// The next line without its line feed (a "\r" before it stays); the last line needs no
  /// line feed. None at the end of the input. The view is valid until the next call.
  Result<std::optional<std::string_view>> next();

  /// The number of the line last returned, from 1.
  size_t number() const { return number_; }

 private:
  Result<size_t> fill();

  int fd_;
  size_t chunk_;
  std::vector<char> buffer_;
  size_t begin_ = 0;  // start of the unread text
  size_t end_ = 0;    // end of the text read
  bool eof_ = false;
  size_t number_ = 0;
};

}  // namespace stackpeek::cli
