// Time to draw a group's stacks as one flame graph (stacks.svg) for 1,024 and 100,000 dumped
// processes, and a recorded group's profiles (group.svg) for 64 processes. The dumps are
// torch-shaped (4 threads of 20 frames, lines varied by rank); about 1 % of the ranks are odd
// in one of three ways; then 5,000 (or the count given) whose innermost frames all differ,
// where the comparison itself is the larger cost. Each profile holds 200
// stacks 30 frames deep.
#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "report/group_svg.h"
#include "report/stacks_svg.h"
#include "stacks/stack_compare.h"
#include "torch_frames.h"

namespace {

using namespace stackpeek;
using Clock = std::chrono::steady_clock;

constexpr int kThreads = 4;
constexpr int kFrames = 20;
constexpr int kRuns = 5;
constexpr int kStacksPerProfile = 200;
constexpr int kProfileDepth = 30;

// The first five files: short paths, as a picture's labels mostly are.
constexpr int kFiles = 5;
using bench::kTorchFiles;
using bench::kTorchFunctions;

stacks::DumpResult dumped(uint32_t rank, bool distinct) {
  stacks::ProcessDump dump;
  for (int t = 0; t < kThreads; ++t) {
    stacks::ThreadStack thread;
    thread.id = std::to_string(t);
    thread.name = t == 0 ? std::string("MainThread") : fmt::format("Thread-{}", t);
    for (int f = 0; f < kFrames; ++f) {
      const int pick = t * 7 + f * 3;
      thread.frames.push_back({kTorchFunctions[pick % 10], kTorchFiles[pick % kFiles],
                               static_cast<uint32_t>(100 + (f * 37 + rank) % 50)});
    }
    dump.threads.push_back(std::move(thread));
  }
  if (rank % 97 == 3) dump.threads[0].frames[0] = {"_next_data", "dataloader.py", 1329};
  if (rank % 211 == 5) dump.threads[0].frames[4] = {"load_state", "checkpoint.py", 88};
  if (rank % 331 == 7) dump.threads.pop_back();
  if (distinct) dump.threads[0].frames[0] = {fmt::format("step_{}", rank), "steps.py", 1};
  stacks::DumpResult result;
  result.host = fmt::format("node{:03}", rank / 8);
  result.pid = 10000 + rank;
  result.rank = rank;
  result.dump = std::move(dump);
  return result;
}

std::shared_ptr<const stacks::FlameGraph> profile(int process) {
  stacks::FlameGraph graph;
  for (int s = 0; s < kStacksPerProfile; ++s) {
    int32_t parent = -1;
    for (int d = 0; d < kProfileDepth; ++d) {
      const int pick = (d < 10 ? d : s * 7 + d * 3 + (process == 5 ? 1 : 0));
      const uint64_t samples = kProfileDepth - d;
      graph.frames.push_back(
          {fmt::format("{} ({}:{})", kTorchFunctions[pick % 10], kTorchFiles[pick % kFiles], d),
           samples, d + 1 == kProfileDepth ? samples : 1, parent});
      parent = static_cast<int32_t>(graph.frames.size() - 1);
    }
    graph.total += kProfileDepth;
  }
  return std::make_shared<const stacks::FlameGraph>(std::move(graph));
}

template <class Fn>
double median_ms(Fn&& fn, int runs) {
  std::vector<double> ms;
  for (int run = 0; run < runs; ++run) {
    const auto start = Clock::now();
    fn();
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::ranges::sort(ms);
  return ms[ms.size() / 2];
}

void stacks_figure(uint32_t processes, double goal_ms, int runs, bool distinct = false) {
  std::vector<stacks::DumpResult> results;
  for (uint32_t rank = 0; rank < processes; ++rank) results.push_back(dumped(rank, distinct));
  const auto comparison = stacks::compare_stacks(results);
  std::string svg;
  const double ms =
      median_ms([&] { svg = report::stacks_svg(results, comparison, "train.py"); }, runs);
  const double compare_ms = median_ms([&] { (void)stacks::compare_stacks(results); }, runs);
  fmt::print(
      "stacks.svg, {:>7} processes: {:8.1f} ms median (goal <= {:.0f} ms), {:.2f} MB "
      "(goal <= 5 MB); the comparison before it {:.1f} ms\n",
      processes, ms, goal_ms, static_cast<double>(svg.size()) / 1e6, compare_ms);
}

}  // namespace

int main(int argc, char** argv) {
  stacks_figure(1024, 50, kRuns);
  stacks_figure(100'000, 2000, 3);
  stacks_figure(argc > 1 ? static_cast<uint32_t>(std::atoi(argv[1])) : 5'000, 2000, 3, true);
  std::vector<report::ProcessFacts> facts(64);
  for (int p = 0; p < 64; ++p) {
    facts[p].process.pid = 20000 + p;
    facts[p].process.rank = p;
    facts[p].profile.graph = profile(p);
    facts[p].profile.summary = stacks::summarize_profile(*facts[p].profile.graph);
  }
  std::string svg;
  const double ms = median_ms([&] { svg = report::group_svg(facts, "train.py"); }, kRuns);
  fmt::print("group.svg, 64 profiles of {} frames: {:.1f} ms median (goal <= 200 ms), {:.2f} MB\n",
             kStacksPerProfile * kProfileDepth, ms, static_cast<double>(svg.size()) / 1e6);
  return 0;
}
