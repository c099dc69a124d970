#include "report/report_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "common/unique_fd.h"

namespace stackpeek::report {
namespace {

Result<void> write_all(int fd, std::string_view content) {
  while (!content.empty()) {
    const ssize_t written = ::write(fd, content.data(), content.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return os_error(errno);
    content.remove_prefix(static_cast<size_t>(written));
  }
  return {};
}

}  // namespace

Result<void> write_file_whole(const std::filesystem::path& path, std::string_view content) {
  std::filesystem::path partial = path;
  partial += ".partial";
  const int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return os_error(errno);
  auto written = write_all(fd, content);
  // close can report a delayed write error (NFS, full disk); a file that was not stored
  // must not look written.
  if (::close(fd) != 0 && errno != EINTR && written) written = os_error(errno);
  if (written && ::rename(partial.c_str(), path.c_str()) != 0) written = os_error(errno);
  if (!written) ::unlink(partial.c_str());
  return written;
}

Result<std::string> read_file_whole(const std::filesystem::path& path, size_t max_bytes) {
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return os_error(errno);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return os_error(errno);
  if (!S_ISREG(info.st_mode)) return std::unexpected(Error("not a regular file"));
  if (static_cast<uint64_t>(info.st_size) > max_bytes)
    return std::unexpected(Error("larger than " + std::to_string(max_bytes >> 20) + " MiB"));
  std::string text;
  text.reserve(static_cast<size_t>(info.st_size));
  char buffer[1 << 16];
  for (;;) {
    const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return os_error(errno);
    if (got == 0) return text;
    text.append(buffer, static_cast<size_t>(got));
    if (text.size() > max_bytes)
      return std::unexpected(Error("larger than " + std::to_string(max_bytes >> 20) + " MiB"));
  }
}

}  // namespace stackpeek::report
