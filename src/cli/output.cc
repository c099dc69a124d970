#include "cli/output.h"

#include <unistd.h>

#include <cerrno>

#include "common/util.h"

namespace stackpeek::cli {
namespace {

bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    text.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

}  // namespace

std::string json_line(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool write_stdout(std::string_view text) { return write_all(STDOUT_FILENO, text); }

bool write_lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) {
    text += escape_controls(line);
    text += '\n';
  }
  return write_stdout(text);
}

void write_stderr(std::string_view text) { write_all(STDERR_FILENO, text); }

void diagnose(std::string_view message) {
  write_all(STDERR_FILENO, "stackpeek: " + escape_controls(message) + "\n");
}

void progress(std::string_view message) {
  if (isatty(STDERR_FILENO) == 1) write_all(STDERR_FILENO, std::string(message) + "\n");
}

std::string error_line(const Error& error) {
  std::string line = error.message();
  for (const auto& cause : error.causes()) line += ": " + cause;
  return line;
}

}  // namespace stackpeek::cli
