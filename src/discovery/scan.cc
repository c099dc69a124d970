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

// Reads what the Python test needs first; environment and working directory only for
// the processes it accepts.
std::optional<ProcessInfo> read_process(ProcReader& reader, uint32_t pid, Clock& clock) {
  if (!reader.read_stat(pid)) return std::nullopt;
  ProcessInfo info;
  info.pid = pid;
  info.name = utf8::decode_lossy(reader.stat_name());
  std::optional<std::string> exe = reader.read_link(pid, "exe");
  auto cmd = reader.read_cmdline(pid);
  if (!cmd || !is_python_process(info.name, exe, *cmd)) return std::nullopt;
  info.cwd = path_or(reader.read_link(pid, "cwd"), kCwdUnreadable);
  const auto environ = reader.read_environ(pid);
  if (!environ) return std::nullopt;
  EnvironValues values = environ_values(*environ);
  info.torch = std::move(values.torch);
  info.slurm = std::move(values.slurm);
  info.job_rank = job_rank(info.torch, info.slurm, values.launcher);
  info.exe = path_or(std::move(exe), kExeUnreadable);
  info.cmd = std::move(*cmd);
  info.runtime = detect_runtime(info.exe, info.cmd);
  const StatFields stat = reader.stat_fields();
  info.parent_pid = stat.parent_pid;
  info.cpu = cpu_percent(stat, reader, clock);
  info.memory = stat.rss_pages * clock.page_size;
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
  name_unnamed_jobs(processes);
  return processes;
}

}  // namespace stackpeek::discovery
