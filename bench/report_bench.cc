// Time to read a flame graph and to write a group's report: read a 10 MB py-spy-shaped SVG
// of 20,000 frames (200 stacks 100 deep) into folded stacks and a summary, then gather and
// write the report of 64 recorded processes (one 1,200-frame SVG each) into a fresh folder.
#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "report/report_writer.h"
#include "stacks/flame_graph.h"
#include "stacks/profile_summary.h"
#include "torch_frames.h"

namespace {

using namespace stackpeek;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int kRuns = 20;

// A frame as inferno writes it: title, rectangle with fg:x/fg:w, then the label.
void add_frame(std::string& svg, const std::string& name, uint64_t x, uint64_t width, int depth,
               uint64_t total) {
  const double left = 100.0 * static_cast<double>(x) / static_cast<double>(total);
  const double share = 100.0 * static_cast<double>(width) / static_cast<double>(total);
  svg += fmt::format(
      "<g><title>{} ({} samples, {:.2f}%)</title><rect x=\"{:.4f}%\" y=\"{}\" "
      "width=\"{:.4f}%\" height=\"15\" fill=\"rgb(227,0,7)\" fg:x=\"{}\" fg:w=\"{}\"/>"
      "<text x=\"{:.4f}%\" y=\"{}.50\">{}</text></g>\n",
      name, width, share, left, 52 + 16 * depth, share, x, width, left + 0.25, 62 + 16 * depth,
      name);
}

std::string frame_name(int stack, int depth) {
  std::string line = bench::frame_line(stack % 7, depth, stack);
  line = line.substr(4, line.size() - 5);  // "    name (file:line)\n"
  return line;
}

// `stacks` chains of `depth` frames under "all"; each chain's leaf holds its samples and
// every tenth frame a few of its own.
std::string flame_svg(int stacks, int depth, bool long_names) {
  uint64_t total = 0;
  std::vector<uint64_t> widths;
  for (int s = 0; s < stacks; ++s) widths.push_back(50 + (s * 37) % 400), total += widths.back();
  std::string svg =
      "<?xml version=\"1.0\" standalone=\"no\"?><svg version=\"1.1\"><script>var inverted = "
      "true;</script><svg id=\"frames\">\n";
  add_frame(svg, "all", 0, total, 0, total);
  uint64_t x = 0;
  for (int s = 0; s < stacks; ++s) {
    uint64_t width = widths[s];
    for (int d = 0; d < depth; ++d) {
      std::string name = frame_name(s, d);
      if (long_names) name += " " + std::string(120, 'x');
      add_frame(svg, name, x, width, d + 1, total);
      if (d % 10 == 9 && width > 2) --width;
    }
    x += widths[s];
  }
  return svg + "</svg></svg>\n";
}

double median_ms(std::vector<double> values) {
  std::ranges::sort(values);
  return values[values.size() / 2];
}

void bench_read() {
  const std::string svg = flame_svg(200, 100, true);
  std::vector<double> read_ms, fold_ms;
  size_t lines = 0, bytes = 0;
  for (int run = 0; run < kRuns; ++run) {
    const auto start = Clock::now();
    const auto read = stacks::read_flame_graph(svg);
    const auto read_end = Clock::now();
    if (!read.graph) std::abort();
    lines = bytes = 0;
    stacks::for_each_folded_line(*read.graph, [&](const std::string& line) {
      ++lines;
      bytes += line.size() + 1;
    });
    stacks::summarize_profile(*read.graph);
    read_ms.push_back(std::chrono::duration<double, std::milli>(read_end - start).count());
    fold_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - read_end).count());
  }
  fmt::print("read {:.1f} MB SVG of 20,000 frames: median {:.1f} ms, best {:.1f} ms (goal 50 ms)\n",
             static_cast<double>(svg.size()) / 1e6, median_ms(read_ms),
             *std::ranges::min_element(read_ms));
  fmt::print("then fold ({} lines, {:.1f} MB) and summarize: median {:.1f} ms\n", lines,
             static_cast<double>(bytes) / 1e6, median_ms(fold_ms));
}

void bench_report() {
  const fs::path root = fs::temp_directory_path() / fmt::format("report_bench_{}", getpid());
  constexpr int kProcesses = 64;
  report::RecordRun run;
  run.target.label = "bench";
  run.target.host = "node01";
  run.duration_requested_s = run.duration_s = 30;
  std::vector<RunRecord> records;
  for (int p = 0; p < kProcesses; ++p) {
    const auto pid = static_cast<uint32_t>(50000 + p);
    run.target.processes.push_back({pid,
                                    "torch:bench",
                                    static_cast<uint32_t>(p),
                                    64,
                                    {"/usr/bin/python3", "-u", "train.py", "--config", "big.yaml"},
                                    "system 3.12 - /usr"});
    records.push_back(
        {fmt::format("py-spy record --duration 30 -o raw/pid-{}.svg --pid {}", pid, pid),
         "py-spy> Wrote flamegraph data. Samples: 3000 Errors: 0\n", "", RunStatus::Success, 0});
  }
  std::vector<std::string> svgs;
  for (int p = 0; p < kProcesses; ++p) svgs.push_back(flame_svg(40, 30, false));
  size_t bytes = 0;
  std::vector<double> ms;
  for (int run_index = 0; run_index < 5; ++run_index) {
    const fs::path folder = root / std::to_string(run_index);
    const report::ReportDir dir{folder, folder / "raw", "bench", 1};
    fs::create_directories(dir.raw_directory);
    for (int p = 0; p < kProcesses; ++p)
      std::ofstream(dir.raw_directory / fmt::format("pid-{}.svg", 50000 + p)) << svgs[p];
    const auto start = Clock::now();
    const auto details = report::gather_details(dir, records, run);
    if (!report::write_report(dir, records, &details)) std::abort();
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    bytes = fs::file_size(folder / "report.md");
  }
  fs::remove_all(root);
  fmt::print(
      "report of {} processes ({:.0f} KB SVG each, report.md {} KB): median {:.1f} ms, "
      "best {:.1f} ms (goal 1,000 ms)\n",
      kProcesses, static_cast<double>(svgs[0].size()) / 1e3, bytes / 1000, median_ms(ms),
      *std::ranges::min_element(ms));
}

}  // namespace

int main() {
  bench_read();
  bench_report();
  return 0;
}
