// Times one scan of the live /proc against ps and against a bare read of stat and cmdline
// of every process, with 2,000 idle processes and 50 idle Python processes running.

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "discovery/scan.h"

extern char** environ;

namespace {

using stackpeek::discovery::scan_processes;

constexpr int kIdle = 2000;
constexpr int kPython = 50;
constexpr int kRounds = 20;

// All children of one kind share a process group, killed and reaped as a whole.
class Children {
 public:
  ~Children() {
    if (pgid_ > 0) ::kill(-pgid_, SIGKILL);
    while (::waitpid(-pgid_, nullptr, 0) > 0 || errno == EINTR) {
    }
  }

  bool spawn(std::vector<std::string> argv) {
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, pgid_ > 0 ? pgid_ : 0);
    pid_t pid = -1;
    const int err = ::posix_spawn(&pid, args[0], nullptr, &attr, args.data(), environ);
    posix_spawnattr_destroy(&attr);
    if (err != 0) return false;
    if (pgid_ <= 0) pgid_ = pid;
    return true;
  }

 private:
  pid_t pgid_ = -1;
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double elapsed_ms(const std::function<void()>& run) {
  const auto start = std::chrono::steady_clock::now();
  run();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

void run_ps() {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  char* argv[] = {const_cast<char*>("/usr/bin/ps"), const_cast<char*>("-eo"),
                  const_cast<char*>("pid,ppid,rss,pcpu,comm,args"), nullptr};
  pid_t pid = -1;
  if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ) == 0) {
    ::waitpid(pid, nullptr, 0);
  }
  posix_spawn_file_actions_destroy(&actions);
}

// The least any scan must do: list /proc and read each process's stat and cmdline.
size_t read_floor() {
  static std::vector<char> buffer(1 << 16);
  const int proc = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = ::fdopendir(::dup(proc));
  size_t total = 0;
  char path[300];
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    for (const char* file : {"stat", "cmdline"}) {
      std::snprintf(path, sizeof(path), "%s/%s", entry->d_name, file);
      const int fd = ::openat(proc, path, O_RDONLY | O_CLOEXEC);
      if (fd < 0) continue;
      ssize_t got = 0;
      while ((got = ::read(fd, buffer.data(), buffer.size())) > 0) total += got;
      ::close(fd);
    }
  }
  ::closedir(dir);
  ::close(proc);
  return total;
}

size_t count_python(const std::string& marker) {
  const auto processes = scan_processes().value();
  return std::count_if(processes.begin(), processes.end(),
                       [&](const auto& p) { return !p.cmd.empty() && p.cmd.back() == marker; });
}

bool start_children(Children& idle, Children& python, const std::string& marker) {
  for (int i = 0; i < kIdle; ++i) {
    if (!idle.spawn({"/usr/bin/sleep", "600"})) {
      std::fprintf(stderr, "could not start idle process %d\n", i);
      return false;
    }
  }
  for (int i = 0; i < kPython; ++i) {
    if (!python.spawn({"/usr/bin/python3", "-c", "import time; time.sleep(600)", marker})) {
      std::fprintf(stderr, "could not start Python process %d\n", i);
      return false;
    }
  }
  for (int tries = 0; tries < 300 && count_python(marker) < kPython; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return count_python(marker) == kPython;
}

}  // namespace

int main() {
  rlimit limit{};
  ::getrlimit(RLIMIT_NPROC, &limit);
  std::printf("RLIMIT_NPROC: %llu\n", static_cast<unsigned long long>(limit.rlim_cur));
  const std::string marker = "scan-bench-" + std::to_string(::getpid());
  Children idle, python;
  if (!start_children(idle, python, marker)) return 1;

  // Rounds interleave the three, so drifts in machine load touch all of them alike.
  size_t found = 0, bytes = 0;
  std::vector<double> scan_times, ps_times, floor_times;
  for (int round = 0; round < kRounds; ++round) {
    scan_times.push_back(elapsed_ms([&] { found = scan_processes().value().size(); }));
    ps_times.push_back(elapsed_ms(run_ps));
    floor_times.push_back(elapsed_ms([&] { bytes = read_floor(); }));
  }
  const double scan_ms = median(scan_times), ps_ms = median(ps_times);
  const double floor_ms = median(floor_times);

  std::printf("started %d idle and %d Python processes; Python processes found: %zu\n", kIdle,
              kPython, found);
  std::printf("median of %d runs: scan %.2f ms, ps %.2f ms, floor %.2f ms (%zu bytes)\n", kRounds,
              scan_ms, ps_ms, floor_ms, bytes);
  std::printf("scan / ps = %.2f (goal <= 0.5), scan / floor = %.2f (goal <= 1.5)\n",
              scan_ms / ps_ms, scan_ms / floor_ms);
  return 0;
}
