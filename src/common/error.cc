#include "common/error.h"

#include <fmt/format.h>

#include <cstring>

namespace stackpeek {

Error Error::from_errno(int err) {
  return Error(fmt::format("{} (os error {})", std::strerror(err), err));
}

Error Error::context(std::string message) const& {
  Error copy = *this;
  return std::move(copy).context(std::move(message));
}

Error Error::context(std::string message) && {
  chain_.insert(chain_.begin(), std::move(message));
  return std::move(*this);
}

std::string format_fatal_error(const Error& error) {
  std::string out = "Error: " + error.message() + "\n";
  const auto causes = error.causes();
  if (causes.empty()) return out;
  out += "\nCaused by:\n";
  if (causes.size() == 1) return out + "    " + causes[0] + "\n";
  for (size_t i = 0; i < causes.size(); ++i) out += fmt::format("{:>5}: {}\n", i, causes[i]);
  return out;
}

}  // namespace stackpeek
