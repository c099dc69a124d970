#include "stacks/failure_reason.h"

#include <cctype>
#include <vector>

#include "common/util.h"

namespace stackpeek::stacks {
namespace {

std::string_view trim_blank(std::string_view text) {
  constexpr std::string_view kBlank = " \t\r\n\f\v";
  const size_t begin = text.find_first_not_of(kBlank);
  if (begin == std::string_view::npos) return {};
  return text.substr(begin, text.find_last_not_of(kBlank) - begin + 1);
}

// "0: No such file" gives "No such file"; none for a line that is not a numbered cause.
std::string_view numbered_cause(std::string_view line) {
  size_t digits = 0;
  while (digits < line.size() && std::isdigit(static_cast<unsigned char>(line[digits]))) ++digits;
  if (digits == 0 || !line.substr(digits).starts_with(": ")) return {};
  return trim_blank(line.substr(digits + 2));
}

}  // namespace

std::string first_line(std::string_view text) {
  const std::string plain = strip_escape_sequences(text);
  std::string_view rest = plain;
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    const std::string_view line = trim_blank(rest.substr(0, end));
    if (!line.empty()) return std::string(line);
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return {};
}

FailureReason failure_reason(std::string_view error) {
  FailureReason reason{first_line(error), {}};
  const std::string plain = strip_escape_sequences(error);
  const size_t chain = plain.find("\nCaused by:");
  if (chain == std::string::npos) return reason;
  // The causes are the lines after "Caused by:", up to the first that is not one.
  std::string_view rest = std::string_view(plain).substr(chain + 1);
  rest.remove_prefix(std::min(rest.size(), rest.find('\n') + 1));
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    const std::string_view line = trim_blank(rest.substr(0, end));
    const std::string_view numbered = numbered_cause(line);
    if (line.empty() || line.starts_with("Stack backtrace")) break;
    reason.cause = std::string(numbered.empty() ? line : numbered);
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return reason;
}

}  // namespace stackpeek::stacks
