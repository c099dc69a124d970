#include "discovery/scan.h"

#include <unistd.h>

#include <algorithm>

#include "common/utf8.h"
#include "discovery/environ_values.h"
#include "discovery/launcher.h"
#include "discovery/proc_reader.h"
#include "discovery/python_name.h"
#include "discovery/runtime.h"

namespace stackpeek::discovery {
namespace {

// What turns stat figures into the CPU and memory columns; uptime is read once per scan,
// and only when some process passes the Python test.
struct Clock {
  double ticks_per_second = static_cast<double>(::sysconf(_SC_CLK_TCK));
  uint64_t page_size = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
  std::optional<double> uptime;
  bool uptime_read = false;
};

// Average CPU use over the process's lifetime, in percent of one CPU.
double cpu_percent(const StatFields& stat, ProcReader& reader, Clock& clock) {
  if (!clock.uptime_read) {
    clock.uptime = reader.read_uptime();
    clock.uptime_read = true;
  }
  const double ticks = clock.ticks_per_second;
  if (!clock.uptime || ticks <= 0) return 0.0;
  const double elapsed = *clock.uptime - static_cast<double>(stat.starttime) / ticks;
  if (!(elapsed > 0)) return 0.0;
  const double busy = static_cast<double>(stat.utime + stat.stime) / ticks;
  return 100.0 * busy / elapsed;
}

PathOrMessage path_or(std::optional<std::string> path, const char* message) {
  return path ? PathOrMessage::path(std::move(*path)) : PathOrMessage::message(message);
}

// The kernel's mark on the exe link of a file replaced or removed since it was started.
constexpr std::string_view kDeletedSuffix = " (deleted)";

// Takes the kernel's mark off `path`; true when it was there.
bool strip_deleted_suffix(std::string& path) {
  if (!path.ends_with(kDeletedSuffix)) return false;
  path.resize(path.size() - kDeletedSuffix.size());
  return true;
}

// An ancestor of a rank, read with the scan's reader: the caller has taken what it needs of
// the rank's own stat line and environment before.
std::optional<Ancestor> read_ancestor(ProcReader& reader, uint32_t pid) {
  const auto environ = reader.read_environ(pid);
  std::optional<JobRank> rank;
  if (environ) {
    const EnvironValues values = environ_values(*environ);
    rank = job_rank(values.torch, values.slurm, values.launcher);
  }
  if (!reader.read_stat(pid)) return std::nullopt;
  return Ancestor{reader.stat_fields().parent_pid, std::move(rank)};
}

// Reads what the Python test needs first; environment and working directory only for
// the processes it accepts.
std::optional<ProcessInfo> read_process(ProcReader& reader, uint32_t pid, Clock& clock) {
  if (!reader.read_stat(pid)) return std::nullopt;
  ProcessInfo info;
  info.pid = pid;
  info.name = utf8::decode_lossy(reader.stat_name());
  std::optional<std::string> exe = reader.read_link(pid, "exe");
  info.exe_replaced = exe && strip_deleted_suffix(*exe);
  auto cmd = reader.read_cmdline(pid);
  if (!cmd || !is_python_process(info.name, exe, *cmd)) return std::nullopt;
  info.cwd = path_or(reader.read_link(pid, "cwd"), kCwdUnreadable);
  const auto environ = reader.read_environ(pid);
  if (!environ) return std::nullopt;
  EnvironValues values = environ_values(*environ);
  info.torch = std::move(values.torch);
  info.slurm = std::move(values.slurm);
  info.exe = path_or(std::move(exe), kExeUnreadable);
  // A wrapper shell or srun that only names Python inherits the rank's variables too.
  if (is_python_interpreter(info.name, info.exe)) {
    info.job_rank = job_rank(info.torch, info.slurm, values.launcher);
  }
  info.cmd = std::move(*cmd);
  info.runtime = detect_runtime(info.exe, info.cmd);
  const StatFields stat = reader.stat_fields();
  info.parent_pid = stat.parent_pid;
  info.cpu = cpu_percent(stat, reader, clock);
  info.memory = stat.rss_pages * clock.page_size;
  if (info.job_rank && info.job_rank->job.empty()) {
    info.job_rank->job =
        launching_job(info.job_rank->launcher, stat.parent_pid.value_or(0),
                      [&](uint32_t ancestor) { return read_ancestor(reader, ancestor); });
  }
  return info;
}

}  // namespace

Result<std::vector<ProcessInfo>> scan_processes() { return scan_processes("/proc"); }

Result<std::vector<ProcessInfo>> scan_processes(const std::string& proc_root) {
  ProcReader reader(proc_root);
  Clock clock;
  std::vector<ProcessInfo> processes;
  for (const uint32_t pid : reader.list_pids()) {
    if (auto info = read_process(reader, pid, clock)) processes.push_back(std::move(*info));
  }
  std::sort(processes.begin(), processes.end(),
            [](const ProcessInfo& a, const ProcessInfo& b) { return a.pid < b.pid; });
  return processes;
}

}  // namespace stackpeek::discovery
