#pragma once

#include <expected>
#include <string>
#include <vector>

namespace stackpeek {

/// An error value: an outermost message and the chain of causes below it.
class Error {
 public:
  explicit Error(std::string message) { chain_.push_back(std::move(message)); }

  /// The operating system's description of errno `err`, as "TEXT (os error N)".
  static Error from_errno(int err);

  /// Wraps this error under a new outermost message; the old messages become causes.
  Error context(std::string message) const&;
  Error context(std::string message) &&;

  /// The outermost message.
  const std::string& message() const { return chain_.front(); }
  /// The causes, outermost first (empty when the error has none).
  std::vector<std::string> causes() const { return {chain_.begin() + 1, chain_.end()}; }

 private:
  std::vector<std::string> chain_;
};

template <class T>
using Result = std::expected<T, Error>;

/// Builds an unexpected Error from errno, for `return os_error(errno);`.
inline std::unexpected<Error> os_error(int err) { return std::unexpected(Error::from_errno(err)); }

/// The text the program prints for a fatal error: "Error: " + message, then the causes.
std::string format_fatal_error(const Error& error);

}  // namespace stackpeek
