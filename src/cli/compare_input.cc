#include "cli/compare_input.h"

#include <algorithm>
#include <thread>
#include <utility>
#include <vector>

#include "cli/line_reader.h"
#include "cli/output.h"

namespace stackpeek::cli {
namespace {

// Skipped lines reported one by one; the rest are counted.
constexpr size_t kReportedSkips = 5;
// Below this many lines a second thread costs more than it saves.
constexpr size_t kLinesPerThread = 32;

// The lines of text whose lines each end in a line feed (but the last one may not).
std::vector<std::string_view> split_at_feeds(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const size_t feed = text.find('\n');
    lines.push_back(text.substr(0, feed));
    text.remove_prefix(feed == std::string_view::npos ? text.size() : feed + 1);
  }
  return lines;
}

// What one thread made of its share of a chunk's lines: their merge, and the first few
// lines it skipped (index in the chunk, reason) with a count of all.
struct Share {
  stacks::StackMerger merger;
  size_t lines = 0;
  size_t skipped = 0;
  std::vector<std::pair<size_t, std::string>> reasons;
};

void merge_range(const std::vector<std::string_view>& lines, size_t begin, size_t end,
                 Share& share) {
  for (size_t i = begin; i < end; ++i) {
    if (lines[i].find_first_not_of(" \t\r") == std::string_view::npos) continue;
    auto parsed = parse_compare_line(lines[i], true);
    if (!parsed) {
      if (++share.skipped <= kReportedSkips) share.reasons.emplace_back(i, parsed.error());
      continue;
    }
    merge_line(std::move(*parsed), share.merger);
    ++share.lines;
  }
}

// Every line parsed and merged, on every core when there are enough, each core merging a
// run of lines of its own; the runs are then joined in input order. Lines are followed by
// the text after them, so parsing may read past their ends.
std::vector<Share> merge_lines(const std::vector<std::string_view>& lines) {
  const size_t cores = std::max(1u, std::thread::hardware_concurrency());
  const size_t workers = std::clamp<size_t>(lines.size() / kLinesPerThread, 1, cores);
  const size_t share = (lines.size() + workers - 1) / workers;
  std::vector<Share> shares(workers);
  std::vector<std::jthread> threads;
  for (size_t w = 1; w < workers; ++w) {
    const size_t begin = w * share;
    const size_t end = std::min(lines.size(), begin + share);
    threads.emplace_back([&, begin, end, w] { merge_range(lines, begin, end, shares[w]); });
  }
  merge_range(lines, 0, std::min(lines.size(), share), shares[0]);
  threads.clear();  // joins
  return shares;
}

stacks::ClassMember member_of(stacks::DumpResult& result) {
  return {.host = std::move(result.host),
          .pid = result.pid,
          .rank = result.rank,
          .world_size = result.world_size,
          .job = std::move(result.job),
          .unchanged = result.unchanged};
}

}  // namespace

void merge_line(CompareLine line, stacks::StackMerger& merger) {
  for (auto& merged : line.classes) merger.add_class(std::move(merged));
  if (!line.dump) return;
  stacks::DumpResult& result = *line.dump;
  if (result.status == stacks::DumpStatus::Failed) {
    merger.add_failed(member_of(result), std::move(result.error));
  } else if (result.dump) {
    merger.add_stack(member_of(result), std::move(result.dump->threads));
  } else {
    merger.add_unparsed(member_of(result), std::move(result.raw));
  }
}

Result<void> read_compare_input(int fd, std::string_view name, CompareInput& input) {
  LineReader reader(fd);
  size_t number = 0;  // lines before the chunk
  while (true) {
    auto text = reader.next();
    if (!text) return std::unexpected(text.error());
    if (!*text) return {};
    const std::vector<std::string_view> lines = split_at_feeds(**text);
    for (Share& share : merge_lines(lines)) {
      for (const auto& [index, reason] : share.reasons) {
        if (++input.skipped <= kReportedSkips) {
          diagnose(std::string(name) + ":" + std::to_string(number + index + 1) +
                   ": skipped: " + reason);
        }
      }
      input.skipped += share.skipped - share.reasons.size();
      input.lines += share.lines;
      input.merger.absorb(std::move(share.merger));
    }
    number += lines.size();
  }
}

void report_skipped_rest(const CompareInput& input) {
  if (input.skipped <= kReportedSkips) return;
  diagnose(std::to_string(input.skipped - kReportedSkips) + " more lines skipped");
}

}  // namespace stackpeek::cli
