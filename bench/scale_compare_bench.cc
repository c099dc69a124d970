// Wall time and peak memory of the whole `stackpeek compare FILE` process over the dump
// lines of a large job: 8 ranks per host, one odd rank in a thousand, each dump 8 threads x
// 30 frames with its own thread ids and line numbers, "nodeNNNNN: {...}" as pdsh prints it.
// The input is written to a temporary file first (1.9 GB for 100,000 ranks), and removed
// unless SCALE_COMPARE_KEEP is set.
//
//   scale_compare_bench STACKPEEK [ranks ...]      (default 1000 10000 100000)
#include <fmt/format.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "torch_frames.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRanksPerHost = 8;
constexpr int kThreads = 8;
constexpr int kFrames = 30;
constexpr int kOddEvery = 1000;

void append_line(std::string& out, int rank, int world) {
  const int pid = 30000 + rank % kRanksPerHost * 100;
  const std::string host = fmt::format("node{:05}", rank / kRanksPerHost + 1);
  fmt::format_to(std::back_inserter(out),
                 "{}: {{\"host\":\"{}\",\"pid\":{},\"group\":\"torch:10.0.0.1:29500:world{}\","
                 "\"rank\":{},\"world_size\":{},\"command\":[\"python3\",\"-u\",\"train.py\"],"
                 "\"status\":\"Success\",\"exit_code\":0,\"signal\":null,\"stderr\":\"\","
                 "\"threads\":[",
                 host, host, pid, world, rank, world);
  for (int t = 0; t < kThreads; ++t) {
    fmt::format_to(std::back_inserter(out),
                   "{}{{\"id\":\"{}\",\"name\":\"{}\",\"state\":\"{}\",\"frames\":[",
                   t == 0 ? "" : ",", pid + t, t == 0 ? "MainThread" : fmt::format("Thread-{}", t),
                   t == 0 ? "active+gil" : "idle");
    for (int f = 0; f < kFrames; ++f) {
      std::string function = "_next_data", file = "torch/utils/data/dataloader.py";
      int line = 1329;
      if (!(rank % kOddEvery == 3 && t == 0 && f == 0)) {
        // "    function (file:line)\n" as py-spy prints it.
        const std::string text = stackpeek::bench::frame_line(t, f, rank);
        const size_t open = text.rfind(" ("), colon = text.rfind(':');
        function = text.substr(4, open - 4);
        file = text.substr(open + 2, colon - open - 2);
        line = std::atoi(text.c_str() + colon + 1);
      }
      fmt::format_to(std::back_inserter(out),
                     "{}{{\"function\":\"{}\",\"file\":\"{}\",\"line\":{}}}", f == 0 ? "" : ",",
                     function, file, line);
    }
    out += "]}";
  }
  out += "]}\n";
}

// Writes the dump lines of `ranks` ranks; returns the bytes written.
size_t write_input(const std::string& path, int ranks) {
  FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) {
    std::perror(path.c_str());
    std::exit(1);
  }
  size_t bytes = 0;
  std::string chunk;
  for (int rank = 0; rank < ranks; ++rank) {
    append_line(chunk, rank, ranks);
    if (chunk.size() > (1u << 22) || rank + 1 == ranks) {
      bytes += std::fwrite(chunk.data(), 1, chunk.size(), file);
      chunk.clear();
    }
  }
  std::fclose(file);
  return bytes;
}

struct Run {
  double seconds = 0;
  double cpu_seconds = 0;  // user and system
  long peak_kb = 0;
  int status = 0;
  std::string first_line;
};

Run run_compare(const std::string& binary, const std::string& input) {
  const std::string output = input + ".out";
  std::fflush(stdout);
  const auto start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    if (std::freopen(output.c_str(), "w", stdout) == nullptr) _exit(127);
    execl(binary.c_str(), binary.c_str(), "compare", input.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  Run run;
  rusage usage{};
  wait4(pid, &run.status, 0, &usage);
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  run.peak_kb = usage.ru_maxrss;
  run.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                    static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  if (FILE* file = std::fopen(output.c_str(), "r")) {
    char line[512] = {};
    if (std::fgets(line, sizeof line, file) != nullptr) run.first_line = line;
    std::fclose(file);
  }
  std::remove(output.c_str());
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: scale_compare_bench STACKPEEK [ranks ...]\n");
    return 2;
  }
  std::vector<int> sizes;
  for (int i = 2; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
  if (sizes.empty()) sizes = {1000, 10000, 100000};
  double load[3] = {};
  getloadavg(load, 3);
  fmt::print("load average {:.2f} {:.2f} {:.2f}\n", load[0], load[1], load[2]);
  for (const int ranks : sizes) {
    const std::string input = fmt::format("/tmp/scale-compare-{}-{}.jsonl", getpid(), ranks);
    const size_t bytes = write_input(input, ranks);
    std::string cat = "cat " + input + " > /dev/null";
    const auto cat_start = Clock::now();
    if (std::system(cat.c_str()) != 0) return 1;
    const double cat_s = std::chrono::duration<double>(Clock::now() - cat_start).count();
    const Run run = run_compare(argv[1], input);
    if (std::getenv("SCALE_COMPARE_KEEP") == nullptr) std::remove(input.c_str());
    fmt::print(
        "{:>7} ranks, {:>8.1f} MB: compare {:.2f} s ({:.2f} s CPU), peak {:.0f} MB (cat {:.2f} s; "
        "goal at 100,000: 5 s, 512 MB); exit {}; {}",
        ranks, bytes / 1e6, run.seconds, run.cpu_seconds, run.peak_kb / 1024.0, cat_s,
        WIFEXITED(run.status) ? WEXITSTATUS(run.status) : -1, run.first_line);
    std::fflush(stdout);
  }
  return 0;
}
