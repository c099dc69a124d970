#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "report/flame_svg.h"
#include "report/group_svg.h"
#include "report/picture_members.h"
#include "report/stacks_svg.h"
#include "stacks/comparison_text.h"

namespace stackpeek::report {
namespace {

stacks::DumpResult ranked(uint32_t rank, std::vector<stacks::StackFrame> frames,
                          std::string thread = "MainThread") {
  stacks::DumpResult result;
  result.pid = 100 + rank;
  result.rank = rank;
  result.dump = stacks::ProcessDump{
      .process_line = "Process 1: python3 t.py",
      .python_line = "Python v3.12.3 (/usr/bin/python3)",
      .threads = {{.id = "1", .name = std::move(thread), .frames = std::move(frames)}}};
  return result;
}

// The fill of the box whose tooltip starts with `title`.
std::string fill_of(const std::string& svg, const std::string& title) {
  std::smatch match;
  const std::regex box("<g[^>]*><title>" + title +
                       "[^<]*</title><rect [^>]*fill=\"(#[0-9a-f]{6})\"");
  return std::regex_search(svg, match, box) ? match[1].str() : "";
}

TEST(StacksSvg, EveryTextIsEscapedAndTheOddRankIsWarm) {
  const std::vector<stacks::DumpResult> results = {
      ranked(0, {{"wait", "w.py", 1}, {"<module>", "a&b\x1b[2J.py", 3}}, "x\"<y>"),
      ranked(1, {{"wait", "w.py", 1}, {"<module>", "a&b\x1b[2J.py", 3}}, "x\"<y>"),
      ranked(2, {{"stuck", "w.py", 9}, {"<module>", "a&b\x1b[2J.py", 3}}, "x\"<y>")};
  const std::string svg = stacks_svg(results, stacks::compare_stacks(results), "job </svg> & co");
  EXPECT_EQ(svg.find("<module>"), std::string::npos);
  EXPECT_EQ(svg.find('\x1b'), std::string::npos);
  EXPECT_NE(svg.find("&lt;module&gt; (a&amp;b\\x1b[2J.py:3)"), std::string::npos);
  EXPECT_NE(svg.find("thread &quot;x&quot;&lt;y&gt;&quot;"), std::string::npos);
  EXPECT_NE(svg.find("job &lt;/svg&gt; &amp; co"), std::string::npos);
  EXPECT_TRUE(std::regex_search(svg, std::regex(">\\[rank 2\\] stuck \\(w.py:9\\)<")));
  EXPECT_EQ(fill_of(svg, "stuck"), class_fill(0, 2));
  EXPECT_EQ(fill_of(svg, "wait"), class_fill(1, 2));
  EXPECT_EQ(fill_of(svg, "&lt;module&gt;"), kSharedFill);
}

// compare draws its merged classes without a dump per member: the same picture.
TEST(StacksSvg, MergedClassesDrawAsTheirDumps) {
  std::vector<stacks::DumpResult> results;
  for (uint32_t rank = 0; rank < 5; ++rank)
    results.push_back(
        ranked(rank, {{rank == 2 ? "stuck" : "wait", "w.py", 1}, {"main", "m.py", 3}}));
  for (auto& result : results) result.host = "node" + std::to_string(result.pid % 2);
  const auto comparison = stacks::compare_stacks(results);
  EXPECT_EQ(stacks_svg(stacks::classes_from_comparison(comparison, results), "job"),
            stacks_svg(results, comparison, "job"));
}

TEST(StacksSvg, NarrowFramesBecomeOneBox) {
  std::vector<stacks::DumpResult> results;
  for (uint32_t rank = 0; rank < 3000; ++rank)
    results.push_back(ranked(rank, {{"f" + std::to_string(rank), "x.py", 1}}));
  const std::string svg = stacks_svg(results, stacks::compare_stacks(results), "wide");
  EXPECT_LT(svg.size(), 20'000u);
  EXPECT_NE(svg.find("3000 frames too narrow to draw"), std::string::npos);
}

// The script needs a cut label's whole text to fit it again when zoomed; without the script
// nothing of it shows.
TEST(FlameSvg, CutLabelsKeepTheirWholeTextAndTheScriptsTextsHide) {
  const std::string label = "deep_function_with_a_long_name <x> (module.py:12)";
  FlamePicture picture;
  for (const auto& [text, weight, parent] : {std::tuple{std::string("all"), 100.0, -1},
                                             {label, 2.0, 0},
                                             {std::string("short"), 98.0, 0}})
    picture.boxes.push_back(
        {.label = text, .tooltip = text, .fill = "#cccccc", .weight = weight, .parent = parent});
  const std::string svg = render_flame_svg(picture);
  EXPECT_NE(svg.find("<g data-l=\"" + xml_text(label) + "\"><title>"), std::string::npos);
  EXPECT_EQ(svg.find("data-l=\"short\""), std::string::npos);
  EXPECT_NE(svg.find("display=\"none\">Reset zoom</text>"), std::string::npos);
  EXPECT_NE(svg.find("display=\"none\">Search</text>"), std::string::npos);
}

TEST(GroupSvg, OddRanksExtraTimeIsRedAndTheirMissingTimeBlue) {
  const auto graph = [](const char* leaf) {
    return std::make_shared<const stacks::FlameGraph>(stacks::FlameGraph{
        .frames = {{"main (t.py:3)", 20, 0, -1}, {std::string(leaf) + " (t.py:7)", 20, 20, 0}},
        .total = 20});
  };
  std::vector<ProcessFacts> facts(4);
  for (uint32_t rank = 0; rank < 4; ++rank) {
    facts[rank].process.pid = 100 + rank;
    facts[rank].process.rank = rank;
    facts[rank].profile.graph = graph(rank == 3 ? "load_batch" : "step");
    facts[rank].profile.summary = stacks::summarize_profile(*facts[rank].profile.graph);
  }
  const std::string svg = group_svg(facts, "job");
  EXPECT_EQ(fill_of(svg, "load_batch"), "#d73027");
  EXPECT_EQ(fill_of(svg, "step"), "#4575b4");
  EXPECT_EQ(fill_of(svg, "main"), "#cdcdcd");
  EXPECT_NE(svg.find("rank 3: 100.0 %"), std::string::npos);
  EXPECT_FALSE(has_group_picture({facts.front()}));
}

}  // namespace
}  // namespace stackpeek::report
