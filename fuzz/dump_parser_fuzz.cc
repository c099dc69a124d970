// Feeds arbitrary bytes through the py-spy dump parser and the stack comparison, and checks
// the invariants the screen and the headless compare command rely on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "common/utf8.h"
#include "common/util.h"
#include "stacks/comparison_text.h"
#include "stacks/dump_json.h"
#include "stacks/dump_parser.h"
#include "stacks/stack_compare.h"

using namespace stackpeek;
using namespace stackpeek::stacks;

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

bool is_clean(std::string_view text, bool valid_utf8) {
  return text.find('\n') == std::string_view::npos && text.find('\x1b') == std::string_view::npos &&
         (!valid_utf8 || utf8::is_valid(text));
}

// Checks one parse result; returns it.
std::optional<ProcessDump> check_parse(std::string_view text) {
  auto dump = parse_dump(text);
  if (!dump) return dump;
  const bool valid = utf8::is_valid(text);
  for (const std::string_view line : split_lines(dump->process_line)) check(is_clean(line, valid));
  check(dump->process_line.starts_with("Process "));
  check(is_clean(dump->python_line, valid) && dump->python_line.starts_with("Python v"));
  for (const auto& thread : dump->threads) {
    check(!thread.id.empty() && is_clean(thread.id, valid));
    check(!thread.name || is_clean(*thread.name, valid));
    for (const auto& frame : thread.frames) {
      check(!frame.function.empty() && is_clean(frame.function, valid));
      check(is_clean(frame.file, valid));
      check(frame.file.find(" (") == std::string::npos);
    }
  }
  // What the parser returns, printed again, parses to the same.
  check(parse_dump(format_dump(*dump)) == dump);
  // The JSON form holds everything, as values and (for UTF-8 text) as text.
  const nlohmann::json json = threads_to_json(dump->threads);
  check(threads_from_json(json) == dump->threads);
  if (valid) check(threads_from_json(nlohmann::json::parse(json.dump())) == dump->threads);
  return dump;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte splits the rest into two dumps.
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  const size_t cut = input.empty() ? 0 : data[0] % (input.size() + 1);
  const std::string_view first = input.substr(0, cut), second = input.substr(cut);

  check_parse(input);
  const std::string decoded = utf8::decode_lossy(input);
  check_parse(decoded);
  const auto a = check_parse(first);
  const auto b = check_parse(second);

  if (a) {
    check(same_stack(*a, *a));
    if (b && same_stack(*a, *b)) check(stack_signature(*a) == stack_signature(*b));
  }

  // Three processes: the first dump twice and the second once (failed when the first byte
  // is odd), as the screen would compare them.
  std::vector<DumpResult> results(3);
  for (size_t i = 0; i < results.size(); ++i) {
    DumpResult& r = results[i];
    r.pid = static_cast<uint32_t>(100 + i);
    if (data[0] & 2) r.rank = static_cast<uint32_t>(i);
    const auto& dump = i < 2 ? a : b;
    const std::string_view text = i < 2 ? first : second;
    if (i == 2 && (data[0] & 1)) {
      r.status = DumpStatus::Failed;
      r.error = std::string(text);
    } else if (dump) {
      r.dump = dump;
    } else {
      r.raw = std::string(text);
    }
  }
  StackHistory history;
  for (int round = 0; round < 2; ++round) {
    StackComparison comparison = compare_stacks(results);
    apply_history(comparison, results, history, StackHistory::Clock::time_point());
    std::vector<int> seen(results.size(), 0);
    for (const auto& bucket : comparison.buckets) {
      check(!bucket.members.empty());
      for (const size_t member : bucket.members) ++seen[member];
      check(bucket.kind != BucketKind::Unparsed || bucket.members.size() == 1);
      check(!bucket.unchanged || round == 1);
    }
    for (const int count : seen) check(count == 1);
    if (a) {
      // The two copies of the first dump share a bucket.
      bool together = false;
      for (const auto& bucket : comparison.buckets) {
        together = together || bucket.members.size() >= 2;
      }
      check(together);
    }
    // Every bucket's lines (indented, after its header) differ from every other's.
    std::vector<std::string> blocks;
    const auto lines = comparison_lines(comparison, results);
    for (size_t i = 1; i + 1 < lines.size(); ++i) {
      check(lines[i].find('\n') == std::string::npos);
      if (!lines[i].starts_with(' ')) {
        blocks.emplace_back();
      } else {
        check(!blocks.empty());
        blocks.back() += lines[i] + "\n";
      }
    }
    check(blocks.size() == comparison.buckets.size());
    for (size_t x = 0; x < blocks.size(); ++x) {
      for (size_t y = x + 1; y < blocks.size(); ++y) {
        const bool stacks = comparison.buckets[x].kind == BucketKind::Stack &&
                            comparison.buckets[y].kind == BucketKind::Stack;
        check(!stacks || blocks[x] != blocks[y]);
      }
    }
  }
  return 0;
}
