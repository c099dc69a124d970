#pragma once

// Reads a file descriptor in large chunks cut at line ends, holding only the current chunk
// (and a line longer than it). Each chunk comes with padding readable after it, as the JSON
// parser needs.

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "common/error.h"

namespace stackpeek::cli {

/// Bytes that may be read after the end of the text given by LineReader.
inline constexpr size_t kLinePadding = 64;

class LineReader {
 public:
  explicit LineReader(int fd, size_t chunk = size_t{1} << 22);

  /// The lines read since the last call, each ending in a line feed but the input's last
  /// one, which needs none; at least one line. None at the end of the input. The view is
  /// valid until the next call.
  Result<std::optional<std::string_view>> next();

 private:
  Result<size_t> fill();

  int fd_;
  size_t chunk_;
  std::vector<char> buffer_;
  size_t begin_ = 0;  // start of the unread text
  size_t end_ = 0;    // end of the text read
  bool eof_ = false;
};

}  // namespace stackpeek::cli
