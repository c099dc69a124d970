// Start latency of a capture run: from spawn_capture_worker with 16 dump commands to
// the moment the last of the 16 processes has started (each writes its start time first,
// so the figure includes the stand-in's own start-up).
#include <fmt/format.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "tasks/runner.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using stackpeek::tasks::SpyCommand;

constexpr int kCommands = 16;
constexpr int kRuns = 20;

int64_t realtime_ns() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// Nanoseconds from `start` to the latest start time written to `log`, or -1.
int64_t last_start(const fs::path& log, int64_t start) {
  std::ifstream in(log);
  int64_t latest = -1;
  int count = 0;
  for (int64_t stamp = 0; in >> stamp; ++count) latest = std::max(latest, stamp);
  return count == kCommands ? latest - start : -1;
}

// A reference for the stand-in's own cost: the same 16 scripts started back to back from
// this thread, without pipes or worker threads.
double baseline_ms(const fs::path& script, const fs::path& log) {
  fs::remove(log);
  const int64_t start = realtime_ns();
  std::vector<pid_t> pids;
  for (int i = 0; i < kCommands; ++i) {
    char* argv[] = {const_cast<char*>(script.c_str()), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, script.c_str(), nullptr, nullptr, argv, environ) == 0)
      pids.push_back(pid);
  }
  for (const pid_t pid : pids) waitpid(pid, nullptr, 0);
  return static_cast<double>(last_start(log, start)) / 1e6;
}

// The event is dropped in a function of its own, which keeps GCC 12 at -O3 from a false
// maybe-uninitialized report inside the event variant.
[[gnu::noinline]] bool received(stackpeek::tasks::RunHandle& handle) {
  return handle.try_recv().has_value();
}

bool wait_finished(stackpeek::tasks::RunHandle& handle) {
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (std::chrono::steady_clock::now() < deadline) {
    if (received(handle)) return true;
    std::this_thread::sleep_for(1ms);
  }
  return false;
}

}  // namespace

int main() {
  std::string pattern = (fs::temp_directory_path() / "stackpeek-bench-XXXXXX").string();
  const fs::path dir = mkdtemp(pattern.data());
  const fs::path log = dir / "starts";
  const fs::path script = dir / "py-spy";
  // bash reads the clock without starting another process; sh needs date for it.
  if (fs::exists("/bin/bash")) {
    std::ofstream(script) << "#!/bin/bash\necho \"${EPOCHREALTIME/./}000\" >> '" << log.string()
                          << "'\n";
  } else {
    std::ofstream(script) << "#!/bin/sh\ndate +%s%N >> '" << log.string() << "'\n";
  }
  chmod(script.c_str(), 0755);

  std::vector<double> starts_ms, finish_ms, baseline;
  for (int run = 0; run < kRuns; ++run) {
    fs::remove(log);
    std::vector<SpyCommand> commands;
    for (int pid = 1; pid <= kCommands; ++pid) {
      commands.push_back(SpyCommand{script, {"dump", "--pid", std::to_string(pid)}, false});
    }
    const auto begin = std::chrono::steady_clock::now();
    const int64_t start = realtime_ns();
    auto handle = stackpeek::tasks::spawn_capture_worker(std::move(commands));
    if (!wait_finished(handle)) {
      fmt::print(stderr, "run {} did not finish\n", run);
      return 1;
    }
    finish_ms.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin)
            .count());
    const int64_t last = last_start(log, start);
    if (last < 0) {
      fmt::print(stderr, "run {}: not every process recorded its start\n", run);
      return 1;
    }
    starts_ms.push_back(static_cast<double>(last) / 1e6);
    baseline.push_back(baseline_ms(script, log));
  }
  fs::remove_all(dir);

  std::sort(starts_ms.begin(), starts_ms.end());
  std::sort(finish_ms.begin(), finish_ms.end());
  std::sort(baseline.begin(), baseline.end());
  fmt::print("{} dump commands, {} runs (goal: median <= 20 ms to the last start)\n", kCommands,
             kRuns);
  fmt::print("last process started: median {:.2f} ms, min {:.2f} ms, max {:.2f} ms\n",
             starts_ms[kRuns / 2], starts_ms.front(), starts_ms.back());
  fmt::print("Finished received:    median {:.2f} ms\n", finish_ms[kRuns / 2]);
  fmt::print("reference, 16 plain posix_spawn calls from one thread: median {:.2f} ms\n",
             baseline[kRuns / 2]);
  return 0;
}
