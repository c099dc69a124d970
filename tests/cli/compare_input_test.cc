#include "cli/compare_input.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <random>

#include "cli/compare_json.h"
#include "cli/line_reader.h"
#include "cli/output.h"
#include "common/unique_fd.h"

namespace stackpeek::cli {
namespace {

using nlohmann::json;

UniqueFd file_with(std::string_view text) {
  UniqueFd fd(memfd_create("compare-input", 0));
  EXPECT_EQ(write(fd.get(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
  lseek(fd.get(), 0, SEEK_SET);
  return fd;
}

CompareInput read_all(std::string_view text) {
  const UniqueFd fd = file_with(text);
  CompareInput input;
  EXPECT_TRUE(read_compare_input(fd.get(), "test", input));
  return input;
}

TEST(LineReaderTest, LinesSplitAcrossChunksKeepEveryByte) {
  const UniqueFd fd = file_with("ab\r\n\ncdefghij\nk");
  LineReader reader(fd.get(), 3);
  std::vector<std::string> texts;
  while (auto text = reader.next()) {
    if (!*text) break;
    texts.emplace_back(**text);
  }
  EXPECT_EQ(texts, (std::vector<std::string>{"ab\r\n\n", "cdefghij\n", "k"}));
}

// A dump line of a job of 16 ranks (some missing) over six hosts, from a few stacks with
// varied lines, some failed (two reasons), one unparsed, some unchanged; labelled as pdsh
// does, or as srun --label does, or not; some with CRLF.
std::string random_line(std::mt19937& rng, uint32_t rank) {
  auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
  const std::string host = "node" + std::to_string(rank % 6);
  json line = {{"host", host},
               {"pid", 1000 + rank},
               {"group", rank < 12 ? "torch:a" : "torch:b"},
               {"rank", rank < 12 ? rank : rank - 12},
               {"world_size", rank < 12 ? 12 : 8},
               {"status", "Success"},
               {"stderr", ""}};
  const uint32_t kind = pick(10);
  if (kind == 0) {
    line["status"] = "Failure";
    line["stderr"] = pick(2) ? "Error: Failed to get stack traces\n\nCaused by:\n    EPERM: Failed "
                               "to suspend process\n"
                             : "Error: Failed to get stack traces\n";
  } else if (kind == 1) {
    line["raw"] = "garbage " + std::to_string(rank);
  } else {
    json frames = json::array();
    const uint32_t shape = pick(3);
    for (uint32_t f = 0; f < 3 + shape; ++f) {
      frames.push_back({{"function", "f" + std::to_string(f * shape)},
                        {"file", "m.py"},
                        {"line", pick(3) ? json(10 + pick(4)) : json(nullptr)}});
    }
    line["threads"] = {{{"id", std::to_string(rank)},
                        {"name", "MainThread"},
                        {"state", "idle"},
                        {"frames", frames}}};
    if (pick(2)) line["unchanged_s"] = 5 + pick(20);
  }
  const uint32_t label = pick(3);
  std::string text = label == 0 ? host + ": " : label == 1 ? std::to_string(rank) + ": " : "";
  return text + json_line(line) + (pick(4) == 0 ? "\r\n" : "\n");
}

TEST(CompareMergeTest, AnySplitMergedAgainGivesTheFlatMerge) {
  for (uint32_t seed = 0; seed < 30; ++seed) {
    std::mt19937 rng(seed);
    std::vector<std::string> lines;
    for (uint32_t rank = 0; rank < 20; ++rank) {
      if (rng() % 5 != 0) lines.push_back(random_line(rng, rank));
    }
    std::string flat_text;
    for (const auto& line : lines) flat_text += line;
    const stacks::StackClasses flat = read_all(flat_text).merger.finish();
    // Groups of lines compared on their own, each printed as `compare --json`, then merged.
    const size_t groups = 1 + rng() % 4;
    std::vector<std::string> texts(groups);
    for (const auto& line : lines) texts[rng() % groups] += line;
    std::string merged_text;
    for (size_t g = 0; g < groups; ++g) {
      if (texts[g].empty()) continue;
      merged_text += "rack" + std::to_string(g) + ": " +
                     json_line(classes_json(read_all(texts[g]).merger.finish())) + "\n";
    }
    CompareInput merged = read_all(merged_text);
    EXPECT_EQ(merged.skipped, 0u);
    EXPECT_EQ(merged.merger.finish(), flat) << "seed " << seed;
  }
}

TEST(CompareMergeTest, MalformedAndTruncatedLinesAreSkipped) {
  const std::string good =
      json_line({{"pid", 7}, {"host", "h"}, {"status", "Success"}, {"threads", json::array()}});
  CompareInput input = read_all(good + "\n" + good.substr(0, good.size() / 2) + "\nnot json\n" +
                                R"({"pid": -1, "status": "Success", "raw": ""})" + "\n");
  EXPECT_EQ(std::pair(input.lines, input.skipped), std::pair(size_t{1}, size_t{3}));
  EXPECT_EQ(input.merger.finish().processes, 1u);
}

TEST(CompareMergeTest, LinesMergedOnSeveralCoresGiveTheMergeOfOneAndNumberTheirSkips) {
  std::mt19937 rng(7);
  std::string text;
  stacks::StackMerger one;
  for (uint32_t n = 0; n < 300; ++n) {
    // The same processes come back later in the input: the later dump replaces the earlier.
    const std::string line = n % 37 == 5 ? "not json\n" : random_line(rng, n % 150);
    text += line;
    if (auto parsed = parse_compare_line(line)) merge_line(std::move(*parsed), one);
  }
  testing::internal::CaptureStderr();
  CompareInput input = read_all(text);
  report_skipped_rest(input);
  const std::string printed = testing::internal::GetCapturedStderr();
  EXPECT_EQ(input.merger.replaced(), one.replaced());
  EXPECT_EQ(input.merger.finish(), one.finish());
  EXPECT_EQ(input.skipped, 8u);
  EXPECT_NE(printed.find("test:6: skipped: not a JSON object"), std::string::npos) << printed;
  EXPECT_NE(printed.find("test:154: skipped:"), std::string::npos) << printed;
  EXPECT_EQ(printed.find("test:191:"), std::string::npos) << printed;
  EXPECT_NE(printed.find("3 more lines skipped"), std::string::npos) << printed;
}

}  // namespace
}  // namespace stackpeek::cli
