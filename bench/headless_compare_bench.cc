// Time of `stackpeek compare` over the dump lines of a cluster: 64 hosts x 16 ranks = 1,024
// JSON lines as `pdsh ... stackpeek dump --all --json` brings them back ("nodeNN: {...}"),
// read from a file in memory line by line, parsed, merged and turned into the comparison
// lines. Every rank shares one stack
// (with its own thread ids and line numbers) except rank 3 of every host.
//
//   headless_compare_bench [threads per process (8)] [frames per thread (30)] [runs (20)]
#include <fmt/format.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/compare_input.h"
#include "cli/dump_line.h"
#include "cli/output.h"
#include "stacks/comparison_text.h"
#include "stacks/stack_compare.h"
#include "torch_frames.h"

namespace {

using namespace stackpeek;
using Clock = std::chrono::steady_clock;

constexpr int kHosts = 64;
constexpr int kRanks = 16;

std::string dump_text(uint32_t pid, bool odd, int threads, int frames) {
  std::string text =
      fmt::format("Process {}: python3 -u train.py\nPython v3.12.3 (/usr/bin/python3.12)\n\n", pid);
  for (int t = 0; t < threads; ++t) {
    text += t == 0 ? fmt::format("Thread {} (active+gil): \"MainThread\"\n", pid)
                   : fmt::format("Thread {} (idle): \"Thread-{}\"\n", pid + t, t);
    for (int f = 0; f < frames; ++f) {
      text += (odd && t == 0 && f == 0) ? "    _next_data (torch/utils/data/dataloader.py:1329)\n"
                                        : bench::frame_line(t, f, static_cast<int>(pid));
    }
  }
  return text;
}

std::string cluster_lines(int threads, int frames) {
  std::string text;
  for (int h = 0; h < kHosts; ++h) {
    const std::string host = fmt::format("node{:02}", h + 1);
    for (int r = 0; r < kRanks; ++r) {
      const auto pid = static_cast<uint32_t>(30000 + r * 100);
      const RunRecord record{"py-spy dump --pid " + std::to_string(pid),
                             dump_text(pid, r == 3, threads, frames),
                             "",
                             RunStatus::Success,
                             0,
                             std::nullopt};
      const discovery::TargetProcess process{pid,
                                             "torch:10.0.0.1:29500:world1024",
                                             static_cast<uint32_t>(h * kRanks + r),
                                             kHosts * kRanks,
                                             {"python3", "-u", "train.py"}};
      const auto result = stacks::dump_result_from_record(record, pid, process.rank, host);
      text += host + ": " + cli::json_line(cli::dump_line_json(host, process, record, result));
      text += '\n';
    }
  }
  return text;
}

// What `stackpeek compare` does with the text it read.
size_t compare_once(int fd) {
  lseek(fd, 0, SEEK_SET);
  cli::CompareInput input;
  if (!cli::read_compare_input(fd, "bench", input)) return 0;
  return stacks::class_lines(input.merger.finish()).size();
}

int arg_or(int argc, char** argv, int index, int fallback) {
  return argc > index ? std::max(1, std::atoi(argv[index])) : fallback;
}

}  // namespace

int main(int argc, char** argv) {
  const int threads = arg_or(argc, argv, 1, 8);
  const int frames = arg_or(argc, argv, 2, 30);
  const int runs = arg_or(argc, argv, 3, 20);
  const std::string text = cluster_lines(threads, frames);
  const int fd = memfd_create("dump-lines", 0);
  if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return 1;
  std::vector<double> ms;
  size_t lines = 0;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    lines = compare_once(fd);
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::sort(ms.begin(), ms.end());
  fmt::print(
      "compare {} processes ({} hosts x {} ranks), {} threads x {} frames, {:.1f} MB of "
      "JSON Lines: median {:.1f} ms, best {:.1f} ms over {} runs ({} output lines; goal "
      "30 ms)\n",
      kHosts * kRanks, kHosts, kRanks, threads, frames, text.size() / 1e6, ms[ms.size() / 2],
      ms.front(), runs, lines);
  return 0;
}
