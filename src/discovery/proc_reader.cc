#include "discovery/proc_reader.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <limits>

#include "common/unique_fd.h"
#include "common/utf8.h"
#include "common/util.h"

namespace stackpeek::discovery {
namespace {

constexpr size_t kInitialBuffer = 4096;

std::optional<uint32_t> parse_pid(std::string_view name) {
  const auto pid = parse_unsigned(name, std::numeric_limits<uint32_t>::max());
  if (!pid) return std::nullopt;
  return static_cast<uint32_t>(*pid);
}

// Splits off the next space-separated field of a stat line.
std::string_view next_field(std::string_view& rest) {
  while (rest.starts_with(' ')) rest.remove_prefix(1);
  const size_t end = std::min(rest.find(' '), rest.size());
  const std::string_view field = rest.substr(0, end);
  rest.remove_prefix(end);
  return field;
}

// A failed open or read of a file every live process has means the process has gone.
bool process_gone(int err) { return err == ENOENT || err == ESRCH; }

}  // namespace

ProcReader::ProcReader(const std::string& root)
    : root_(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}

std::vector<uint32_t> ProcReader::list_pids() const {
  std::vector<uint32_t> pids;
  if (!root_) return pids;
  // fdopendir takes ownership, so list through a duplicate and keep the root open.
  const int fd = ::openat(root_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = fd < 0 ? nullptr : ::fdopendir(fd);
  if (dir == nullptr) {
    if (fd >= 0) ::close(fd);
    return pids;
  }
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    if (const auto pid = parse_pid(entry->d_name)) pids.push_back(*pid);
  }
  ::closedir(dir);
  return pids;
}

const char* ProcReader::pid_path(uint32_t pid, const char* name) {
  auto [end, ec] = std::to_chars(path_, path_ + 16, pid);
  *end++ = '/';
  for (const char* c = name; *c != '\0' && end < path_ + sizeof(path_) - 1; ++c) *end++ = *c;
  *end = '\0';
  return path_;
}

int ProcReader::read_file(const char* relative, std::string& buffer, size_t& length) {
  length = 0;
  const UniqueFd fd(::openat(root_.get(), relative, O_RDONLY | O_CLOEXEC));
  if (!fd) return errno;
  // The buffer only grows, so after the first few processes no read allocates.
  while (true) {
    if (buffer.size() - length < kInitialBuffer) buffer.resize(2 * buffer.size() + kInitialBuffer);
    const ssize_t got = ::read(fd.get(), buffer.data() + length, buffer.size() - length);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return errno;
    if (got == 0) return 0;
    length += static_cast<size_t>(got);
  }
}

bool ProcReader::read_stat(uint32_t pid) {
  stat_name_ = stat_rest_ = {};
  size_t length = 0;
  if (read_file(pid_path(pid, "stat"), stat_buffer_, length) != 0) return false;
  // The name may hold spaces and parentheses, so it ends at the last ')'.
  const std::string_view line(stat_buffer_.data(), length);
  const size_t open = line.find('(');
  const size_t close = line.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
    return false;
  }
  stat_name_ = line.substr(open + 1, close - open - 1);
  stat_rest_ = line.substr(close + 1);
  return true;
}

StatFields ProcReader::stat_fields() const {
  // Fields after the name, numbered as in proc(5): 4 ppid, 14 utime, 15 stime,
  // 22 starttime, 24 rss. Non-numeric fields read as 0 and are not used.
  std::array<uint64_t, 25> number{};
  std::string_view rest = stat_rest_;
  for (size_t i = 3; i < number.size() && !rest.empty(); ++i) {
    number[i] = parse_unsigned(next_field(rest)).value_or(0);
  }
  StatFields fields;
  if (number[4] != 0) fields.parent_pid = static_cast<uint32_t>(number[4]);
  fields.utime = number[14];
  fields.stime = number[15];
  fields.starttime = number[22];
  fields.rss_pages = number[24];
  return fields;
}

bool ProcReader::stat_running() const {
  std::string_view rest = stat_rest_;
  const std::string_view state = next_field(rest);
  return !state.empty() && state != "Z" && state != "X";
}

bool process_running(uint32_t pid) {
  ProcReader reader("/proc");
  return reader.read_stat(pid) && reader.stat_running();
}

std::optional<std::string> ProcReader::read_link(uint32_t pid, const char* name) {
  char target[4096];
  const ssize_t size = ::readlinkat(root_.get(), pid_path(pid, name), target, sizeof(target));
  if (size < 0 || static_cast<size_t>(size) >= sizeof(target)) return std::nullopt;
  return std::string(target, static_cast<size_t>(size));
}

std::optional<std::vector<std::string>> ProcReader::read_cmdline(uint32_t pid) {
  size_t length = 0;
  const int err = read_file(pid_path(pid, "cmdline"), data_buffer_, length);
  if (process_gone(err)) return std::nullopt;
  std::vector<std::string> arguments;
  const std::string_view block(data_buffer_.data(), err == 0 ? length : 0);
  for (const std::string_view argument : split_nul(block)) {
    arguments.push_back(utf8::decode_lossy(argument));
  }
  return arguments;
}

std::optional<std::string_view> ProcReader::read_environ(uint32_t pid) {
  size_t length = 0;
  const int err = read_file(pid_path(pid, "environ"), data_buffer_, length);
  if (process_gone(err)) return std::nullopt;
  return std::string_view(data_buffer_.data(), err == 0 ? length : 0);
}

std::optional<double> ProcReader::read_uptime() {
  size_t length = 0;
  if (read_file("uptime", data_buffer_, length) != 0) return std::nullopt;
  // from_chars ignores the locale, which may use a decimal comma.
  double seconds = 0;
  const char* begin = data_buffer_.data();
  if (std::from_chars(begin, begin + length, seconds).ec != std::errc()) return std::nullopt;
  return seconds;
}

}  // namespace stackpeek::discovery
