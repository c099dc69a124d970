// Time to turn the output of a 64-process group dump into the comparison lines: parse 64
// dumps of 40 threads x 30 frames each, bucket them, observe them in a session history and
// produce the lines. 63 processes share one stack (with their own thread ids and line
// numbers); one is different in its first thread.
#include <fmt/format.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/run_record.h"
#include "stacks/comparison_text.h"
#include "stacks/stack_compare.h"
#include "stacks/stack_history.h"
#include "torch_frames.h"

namespace {

using namespace stackpeek;
using Clock = std::chrono::steady_clock;

constexpr int kProcesses = 64;
constexpr int kThreads = 40;
constexpr int kFrames = 30;
constexpr int kDefaultRuns = 200;

std::string dump_text(int process, bool odd) {
  const int pid = 40000 + process;
  std::string text = fmt::format(
      "Process {}: /srv/jobs/experiment-42/.venv/bin/python3 -u train.py --config big.yaml\n"
      "Python v3.12.3 (/srv/jobs/experiment-42/.venv/bin/python3.12)\n\n",
      pid);
  for (int t = 0; t < kThreads; ++t) {
    if (t == 0) {
      text += fmt::format("Thread {} (active+gil): \"MainThread\"\n", pid);
    } else {
      text += fmt::format("Thread 0x7F3A2B1C{:04X} (idle): \"Thread-{}\"\n", t * 16 + process, t);
    }
    for (int f = 0; f < kFrames; ++f) {
      text += (odd && t == 0 && f == 0) ? "    _next_data (torch/utils/data/dataloader.py:1329)\n"
                                        : bench::frame_line(t, f, process);
    }
  }
  return text;
}

double thread_cpu_ms() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

double best(const std::vector<double>& values) {
  return *std::min_element(values.begin(), values.end());
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  // An optional argument sets the number of runs (e.g. 3 under valgrind).
  const int kRuns = argc > 1 ? std::max(1, std::atoi(argv[1])) : kDefaultRuns;
  std::vector<RunRecord> records;
  size_t bytes = 0;
  for (int p = 0; p < kProcesses; ++p) {
    records.push_back(RunRecord{fmt::format("py-spy dump --pid {}", 40000 + p),
                                dump_text(p, p == 37), "", RunStatus::Success});
    bytes += records.back().stdout_text.size();
  }

  std::vector<double> parse_ms, compare_ms, free_ms, total_ms, cpu_ms;
  std::vector<std::string> lines;
  stacks::StackHistory history;
  const auto session_start = Clock::now();
  for (int run = 0; run < kRuns; ++run) {
    const double cpu_start = thread_cpu_ms();
    const auto start = Clock::now();
    Clock::time_point parsed, compared;
    {
      std::vector<stacks::DumpResult> results;
      results.reserve(records.size());
      for (size_t i = 0; i < records.size(); ++i) {
        results.push_back(stacks::dump_result_from_record(
            records[i], 40000 + static_cast<uint32_t>(i), static_cast<uint32_t>(i)));
      }
      parsed = Clock::now();
      lines =
          stacks::compare_stack_lines(results, &history, session_start + std::chrono::seconds(run));
      compared = Clock::now();
    }  // the results are freed inside the timing, as the caller would
    const auto end = Clock::now();
    cpu_ms.push_back(thread_cpu_ms() - cpu_start);
    parse_ms.push_back(std::chrono::duration<double, std::milli>(parsed - start).count());
    compare_ms.push_back(std::chrono::duration<double, std::milli>(compared - parsed).count());
    free_ms.push_back(std::chrono::duration<double, std::milli>(end - compared).count());
    total_ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
  }

  fmt::print("stack comparison: {} dumps of {} threads x {} frames ({:.1f} MB of text), {} runs\n",
             kProcesses, kThreads, kFrames, bytes / 1e6, kRuns);
  fmt::print("  parse    {:6.2f} ms median, {:.2f} ms best\n", median(parse_ms), best(parse_ms));
  fmt::print("  compare  {:6.2f} ms median, {:.2f} ms best (buckets, history, lines)\n",
             median(compare_ms), best(compare_ms));
  fmt::print("  free     {:6.2f} ms median, {:.2f} ms best (the parsed dumps)\n", median(free_ms),
             best(free_ms));
  fmt::print("  total    {:6.2f} ms median, {:.2f} ms best (goal <= 5 ms)\n", median(total_ms),
             best(total_ms));
  fmt::print("  CPU      {:6.2f} ms median, {:.2f} ms best (thread CPU time of the total)\n",
             median(cpu_ms), best(cpu_ms));
  fmt::print("first lines of the last run:\n");
  for (size_t i = 0; i < std::min<size_t>(lines.size(), 4); ++i) fmt::print("  {}\n", lines[i]);
  return 0;
}
