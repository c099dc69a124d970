#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/unique_fd.h"

namespace stackpeek::discovery {

/// The fields of /proc/PID/stat the scan uses, after the command name.
struct StatFields {
  std::optional<uint32_t> parent_pid;  // absent when the kernel reports 0
  uint64_t utime = 0;                  // clock ticks
  uint64_t stime = 0;                  // clock ticks
  uint64_t starttime = 0;              // clock ticks after boot
  uint64_t rss_pages = 0;
};

/// Reads the per-process files of a /proc tree (the real one, or a fixture tree in tests).
/// Every read answers nothing when the process is gone; none of them fails otherwise.
class ProcReader {
 public:
  /// Opens `root`; a root that cannot be opened lists no processes.
  explicit ProcReader(const std::string& root);
  ProcReader(const ProcReader&) = delete;
  ProcReader& operator=(const ProcReader&) = delete;

  /// The numeric entries of the root, one per process (threads are not listed there).
  std::vector<uint32_t> list_pids() const;

  /// Reads PID/stat; false when the process is gone.
  bool read_stat(uint32_t pid);
  /// The command name of the last stat read (raw bytes), valid until the next read_stat.
  std::string_view stat_name() const { return stat_name_; }
  /// Parses the rest of the line read by the last successful read_stat.
  StatFields stat_fields() const;
  /// True when the last successful read_stat found a process that has not exited: a zombie
  /// ('Z') or a dead one ('X') has, whether or not its parent reaped it.
  bool stat_running() const;

  /// The target of the PID/exe or PID/cwd link; nothing when it cannot be read.
  std::optional<std::string> read_link(uint32_t pid, const char* name);

  /// PID/cmdline split at NUL bytes, each argument decoded with U+FFFD for bad bytes;
  /// nothing when the process is gone.
  std::optional<std::vector<std::string>> read_cmdline(uint32_t pid);

  /// PID/environ as raw bytes: an empty block when it may not be read (another user's
  /// process), nothing when the process is gone. Valid until the next read.
  std::optional<std::string_view> read_environ(uint32_t pid);

  /// Seconds since boot from the root's "uptime" file.
  std::optional<double> read_uptime();

 private:
  // Reads a whole file below the root into the first `length` bytes of `buffer`; returns
  // the errno of a failed open or read, else 0.
  int read_file(const char* relative, std::string& buffer, size_t& length);
  const char* pid_path(uint32_t pid, const char* name);

  UniqueFd root_;
  char path_[64] = {};
  std::string stat_buffer_;
  std::string data_buffer_;
  std::string_view stat_name_;
  std::string_view stat_rest_;
};

/// True while process `pid` of this machine runs (see ProcReader::stat_running).
bool process_running(uint32_t pid);

}  // namespace stackpeek::discovery
