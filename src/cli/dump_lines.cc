#include "cli/dump_lines.h"

#include <algorithm>
#include <expected>
#include <optional>
#include <thread>

#include "cli/dump_line.h"
#include "common/util.h"

namespace stackpeek::cli {
namespace {

using Parsed = std::optional<std::expected<stacks::DumpResult, std::string>>;

// Below this many lines a second thread costs more than it saves.
constexpr size_t kLinesPerThread = 64;

void parse_range(const std::vector<std::string_view>& lines, std::vector<Parsed>& out, size_t begin,
                 size_t end) {
  for (size_t i = begin; i < end; ++i) {
    if (lines[i].find_first_not_of(" \t\r") == std::string_view::npos) continue;
    out[i] = parse_dump_line(lines[i]);
  }
}

}  // namespace

DumpLines parse_dump_lines(std::string_view text) {
  const std::vector<std::string_view> lines = split_lines(text);
  std::vector<Parsed> parsed(lines.size());
  const size_t cores = std::max(1u, std::thread::hardware_concurrency());
  const size_t workers = std::clamp<size_t>(lines.size() / kLinesPerThread, 1, cores);
  const size_t chunk = (lines.size() + workers - 1) / workers;
  {
    std::vector<std::jthread> threads;
    for (size_t w = 1; w < workers; ++w) {
      const size_t begin = w * chunk;
      const size_t end = std::min(lines.size(), begin + chunk);
      threads.emplace_back([&, begin, end] { parse_range(lines, parsed, begin, end); });
    }
    parse_range(lines, parsed, 0, std::min(lines.size(), chunk));
  }
  DumpLines out;
  for (size_t i = 0; i < parsed.size(); ++i) {
    if (!parsed[i]) continue;
    if (*parsed[i]) {
      out.results.push_back(std::move(**parsed[i]));
    } else {
      out.skipped.push_back({i + 1, std::move(parsed[i]->error())});
    }
  }
  return out;
}

}  // namespace stackpeek::cli
