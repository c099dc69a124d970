// One `stackpeek watch` round for 64 Python processes with the py-spy stand-in: snapshot,
// resolving the targets, 64 dumps at once through the capture worker, and the watch's
// comparison and events. Prints stackpeek's own CPU time (user + system of this process,
// its threads included, the py-spy processes not), the py-spy processes' CPU time and the
// wall time, per round. Run from the repository root (it uses tests/bin/py-spy), or name
// another py-spy as the argument (a script that sleeps and prints leaves stackpeek's share).
#include <fmt/format.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "cli/run_commands.h"
#include "cli/snapshot.h"
#include "workflow/watch.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

constexpr int kProcesses = 64;
constexpr int kRounds = 7;

double cpu_ms(int who) {
  rusage usage{};
  getrusage(who, &usage);
  const auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

std::vector<pid_t> start_sleepers() {
  std::vector<pid_t> pids;
  for (int i = 0; i < kProcesses; ++i) {
    const char* argv[] = {"python3", "-c", "import time\nwhile True: time.sleep(1)",
                          "watch-bench-sleeper", nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, "/usr/bin/python3", nullptr, nullptr, const_cast<char**>(argv),
                    environ) == 0) {
      pids.push_back(pid);
    }
  }
  std::this_thread::sleep_for(1500ms);
  return pids;
}

double median(std::vector<double> values) {
  std::ranges::sort(values);
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  namespace workflow = stackpeek::workflow;
  namespace cli = stackpeek::cli;
  const std::filesystem::path spy =
      std::filesystem::absolute(argc > 1 ? argv[1] : "tests/bin/py-spy");
  if (!std::filesystem::exists(spy)) {
    fmt::print("run from the repository root: {} is missing\n", spy.string());
    return 1;
  }
  const std::vector<pid_t> sleepers = start_sleepers();
  stackpeek::discovery::TargetRequest request;
  for (const pid_t pid : sleepers) request.pids.push_back(static_cast<uint32_t>(pid));
  workflow::Watch watch(std::chrono::seconds(300));
  std::vector<double> own, children, wall;
  for (int round = 0; round < kRounds; ++round) {
    const double self_before = cpu_ms(RUSAGE_SELF), children_before = cpu_ms(RUSAGE_CHILDREN);
    const auto start = std::chrono::steady_clock::now();
    const auto groups = cli::snapshot_groups();
    if (!groups) return 1;
    const auto target = stackpeek::discovery::resolve_target(*groups, request, "bench");
    if (!target) return 1;
    const double snapshot_ms = cpu_ms(RUSAGE_SELF) - self_before;
    const auto outcome = cli::run_commands(stackpeek::tasks::build_spy_commands(
        spy, stackpeek::tasks::SpyMode::Dump, target->pids(), false, std::nullopt));
    const double dumps_ms = cpu_ms(RUSAGE_SELF) - self_before - snapshot_ms;
    const auto events =
        watch.observe_round(*groups, *target, outcome.records, std::chrono::steady_clock::now(),
                            workflow::WallClock::now());
    wall.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
    own.push_back(cpu_ms(RUSAGE_SELF) - self_before);
    children.push_back(cpu_ms(RUSAGE_CHILDREN) - children_before);
    fmt::print(
        "round {}: {} processes, {} events, own CPU {:.1f} ms (snapshot {:.1f}, dumps "
        "{:.1f}, watch {:.1f}), py-spy CPU {:.0f} ms, wall {:.0f} ms\n",
        round + 1, target->processes.size(), events.size(), own.back(), snapshot_ms, dumps_ms,
        own.back() - snapshot_ms - dumps_ms, children.back(), wall.back());
  }
  fmt::print(
      "median over {} rounds: own CPU {:.1f} ms (goal 50 ms), py-spy CPU {:.0f} ms, "
      "wall {:.0f} ms\n",
      kRounds, median(own), median(children), median(wall));
  for (const pid_t pid : sleepers) kill(pid, SIGKILL);
  for (const pid_t pid : sleepers) waitpid(pid, nullptr, 0);
  return 0;
}
