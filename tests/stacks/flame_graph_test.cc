#include "stacks/flame_graph.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "stacks/profile_summary.h"

namespace stackpeek::stacks {
namespace {

// Real py-spy 0.4.2 records with their standard output.
std::string fixture(const std::string& name) {
  std::ifstream in(std::string(STACKPEEK_TEST_DIR) + "/stacks/flame_graphs/" + name);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

uint64_t reported_samples(const std::string& stdout_text) {
  std::smatch match;
  EXPECT_TRUE(std::regex_search(stdout_text, match, std::regex("Samples: (\\d+)")));
  return std::stoull(match[1]);
}

std::vector<std::string> folded(const FlameGraph& graph) {
  std::vector<std::string> lines;
  for_each_folded_line(graph, [&](std::string line) { lines.push_back(std::move(line)); });
  return lines;
}

uint64_t folded_sum(const std::vector<std::string>& lines) {
  uint64_t sum = 0;
  for (const auto& line : lines) sum += std::stoull(line.substr(line.rfind(' ') + 1));
  return sum;
}

FlameGraph read_ok(std::string_view svg) {
  auto read = read_flame_graph(svg);
  EXPECT_TRUE(read.graph) << read.error;
  return read.graph.value_or(FlameGraph{});
}

TEST(FlameGraphTest, RealRecordsFoldToPySpysSampleCount) {
  for (const std::string name : {"record-busy", "record-target-exits"}) {
    SCOPED_TRACE(name);
    const std::string svg = fixture(name + ".svg");
    const FlameGraph graph = read_ok(svg);
    const auto lines = folded(graph);
    EXPECT_EQ(graph.total, reported_samples(fixture(name + ".stdout")));
    EXPECT_EQ(folded_sum(lines), graph.total);
    uint64_t bytes = 0;
    for (const auto& line : lines) bytes += line.size() + 1;
    EXPECT_EQ(folded_size(graph), bytes);
    // Without fg:x and fg:w the rectangles and the titles' counts give the same stacks.
    const std::string geometry = std::regex_replace(svg, std::regex(R"( fg:[xw]="\d+")"), "");
    ASSERT_EQ(geometry.find("fg:w=\""), std::string::npos);
    EXPECT_EQ(folded(read_ok(geometry)), lines);
  }
  EXPECT_EQ(
      folded(read_ok(fixture("record-busy.svg"))),
      (std::vector<std::string>{"<module> (busy.py:19);outer (busy.py:15);inner (busy.py:7) 89",
                                "<module> (busy.py:19);outer (busy.py:15);inner (busy.py:8) 210"}));
}

TEST(FlameGraphTest, SummaryCountsRecursionOnceAndFindsHeaviestStack) {
  const FlameGraph graph = read_ok(fixture("record-busy.svg"));
  const ProfileSummary summary = summarize_profile(graph);
  EXPECT_EQ(summary.samples, 299u);
  ASSERT_EQ(summary.functions.size(), 4u);
  EXPECT_EQ(summary.functions[0], (FunctionShare{"inner (busy.py:8)", 210, 210}));
  EXPECT_EQ(summary.functions[3], (FunctionShare{"outer (busy.py:15)", 0, 299}));
  EXPECT_EQ(summary.heaviest_stack,
            (std::vector<std::string>{"inner (busy.py:8)", "outer (busy.py:15)",
                                      "<module> (busy.py:19)"}));
  // f calls f calls g: f's total is the 10 samples once, not 18.
  const std::string recursive =
      R"(<g><title>all (10 samples, 100%)</title><rect y="0" fg:x="0" fg:w="10"/></g>)"
      R"(<g><title>f (a.py:1) (10 samples, 100%)</title><rect y="16" fg:x="0" fg:w="10"/></g>)"
      R"(<g><title>f (a.py:1) (8 samples, 80%)</title><rect y="32" fg:x="0" fg:w="8"/></g>)"
      R"(<g><title>g (a.py:&#50;) (8 samples, 80%)</title><rect y="48" fg:x="0" fg:w="8"/></g>)";
  const auto functions = summarize_profile(read_ok(recursive)).functions;
  EXPECT_EQ(functions[0], (FunctionShare{"g (a.py:2)", 8, 8}));
  EXPECT_EQ(functions[1], (FunctionShare{"f (a.py:1)", 2, 10}));
  EXPECT_EQ(frame_from_name("<module> (busy.py:19)"), (StackFrame{"<module>", "busy.py", 19}));
}

TEST(FlameGraphTest, OddInputsGiveReasons) {
  EXPECT_EQ(read_flame_graph(fixture("record-sleeper-again.svg")).error,
            "the flame graph holds no samples (py-spy wrote an empty placeholder)");
  EXPECT_EQ(read_flame_graph("").error, "no flame-graph frames found");
  EXPECT_EQ(read_flame_graph("<title>x</title><rect y=\"1\"/>").error,
            "frame 1 has no sample count or place");
  const std::string all = R"(<title>all (4 samples, 100%)</title><rect y="0" fg:x="0" fg:w="4"/>)";
  EXPECT_EQ(read_flame_graph(all + R"(<title>a</title><rect y="9" fg:x="0" fg:w="5"/>)").error,
            "the callees of \"all\" hold more samples than it does");
  const std::string a = all + R"(<title>a</title><rect y="9" fg:x="0" fg:w="3"/>)";
  EXPECT_EQ(read_flame_graph(a + R"(<title>b</title><rect y="18" fg:x="3" fg:w="1"/>)").error,
            "frame \"b\" has no caller below it");
  EXPECT_EQ(read_flame_graph(a + R"(<title>b</title><rect y="18" fg:x="0" fg:w="2"/>)" +
                             R"(<title>c</title><rect y="18" fg:x="1" fg:w="2"/>)")
                .error,
            "the callees of \"a\" hold more samples than it does");
  // A root row without "all" and a classic (not inverted) graph: the root is at the bottom.
  const FlameGraph classic =
      read_ok(R"(<title>main (2 samples)</title><rect y="20" fg:x="0" fg:w="2"/>)"
              R"(<title>leaf &amp; co (1 samples)</title><rect y="4" fg:x="1" fg:w="1"/>)");
  EXPECT_EQ(folded(classic), (std::vector<std::string>{"main 1", "main;leaf & co 1"}));
  // A frame without a name keeps its place in the path.
  const FlameGraph unnamed =
      read_ok(R"(<title></title><rect y="20" fg:x="0" fg:w="2"/>)"
              R"(<title>leaf (2 samples)</title><rect y="4" fg:x="0" fg:w="2"/>)");
  EXPECT_EQ(folded(unnamed), (std::vector<std::string>{";leaf 2"}));
  EXPECT_EQ(folded_size(unnamed), std::string(";leaf 2\n").size());
}

}  // namespace
}  // namespace stackpeek::stacks
