// Throughput of the live top stream reader: decoding, frame extraction and pending-text
// cutting for every 4096-byte read, over a recorded-like stream of py-spy top screens.
#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <string_view>

#include "common/utf8.h"
#include "tasks/top_frame.h"

namespace {

using stackpeek::tasks::kTopPendingLimit;
using stackpeek::tasks::kTopReadSize;
using stackpeek::tasks::top_stream_step;

// One py-spy top refresh: cursor home, then every line as CR, erase-line, text, LF.
std::string top_screen(int refresh) {
  auto line = [](const std::string& text) { return "\r\x1b[2K" + text + "\n"; };
  std::string screen = "\x1b[H";
  screen += line("Collecting samples from 'python3 train.py --epochs 10' (python v3.12.3)");
  screen += line(fmt::format("Total Samples {}", refresh * 100));
  screen += line("GIL: 0.00%, Active: 12.00%, Threads: 3");
  screen += line("");
  screen += line("\x1b[7m  %Own   %Total  OwnTime  TotalTime  Function (filename)\x1b[0m");
  for (int row = 0; row < 40; ++row) {
    screen += line(fmt::format("  {:>5.2f}%  {:>5.2f}%   {:.2f}s     {:.2f}s   fn_{} (model.py:{})",
                               (row * 7 + refresh) % 100 / 1.0, (row * 3) % 100 / 1.0, row * 0.1,
                               row * 0.2, row, row + refresh % 50));
  }
  screen += line("");
  screen += line("Press Control-C to quit, or ? for help.");
  return screen;
}

struct Result {
  double mb_per_s = 0;
  size_t frames = 0;
  size_t max_pending_chars = 0;
};

Result run(std::string_view stream, int passes) {
  Result result;
  const auto start = std::chrono::steady_clock::now();
  for (int pass = 0; pass < passes; ++pass) {
    std::string pending;
    for (size_t at = 0; at < stream.size(); at += kTopReadSize) {
      const auto frame = top_stream_step(pending, stream.substr(at, kTopReadSize));
      result.frames += !frame.empty();
      result.max_pending_chars =
          std::max(result.max_pending_chars, stackpeek::utf8::char_count(pending));
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.mb_per_s = static_cast<double>(stream.size()) * passes / seconds / 1e6;
  return result;
}

void report(const char* name, std::string_view stream, int passes) {
  const Result result = run(stream, passes);
  fmt::print("{:<28} {:8.1f} MB/s  frames {:>8}  max pending {:>5} chars ({})\n", name,
             result.mb_per_s, result.frames, result.max_pending_chars,
             result.max_pending_chars <= kTopPendingLimit ? "within bound" : "BOUND EXCEEDED");
}

}  // namespace

int main() {
  std::string screens(24, '\n');
  for (int refresh = 0; screens.size() < 64u << 20; ++refresh) screens += top_screen(refresh);

  // Worst case for the reader: text that never starts a new screen.
  std::string unmarked;
  while (unmarked.size() < 16u << 20)
    unmarked += "\r\x1b[2K  12.00%  12.00%   forward (model.py:88)\n";

  fmt::print("top stream reader, {}-byte reads (goal >= 100 MB/s on real screens)\n", kTopReadSize);
  report("py-spy top screens", screens, 3);
  report("no screen start markers", unmarked, 1);
  return 0;
}
