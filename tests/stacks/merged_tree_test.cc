#include "stacks/merged_tree.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace stackpeek::stacks {
namespace {

// A dump of a main thread in `frames` (innermost first) and an idle helper thread.
ProcessDump dump_of(std::vector<StackFrame> frames) {
  return {
      .process_line = "Process 1: python3 train.py",
      .python_line = "Python v3.12.3 (/usr/bin/python3)",
      .threads = {{.id = "1", .name = "MainThread", .frames = std::move(frames)},
                  {.id = "2", .name = "pin_memory", .frames = {{"wait", "threading.py", 331}}}}};
}

const TreeNode* find(const MergedTree& tree, std::string_view function) {
  for (const auto& node : tree.nodes) {
    if (node.function == function) return &node;
  }
  return nullptr;
}

TEST(MergedTree, RanksShareCallersAndPartWhereTheirStacksDo) {
  const std::vector<ProcessDump> dumps = {
      dump_of(
          {{"all_reduce", "c10d.py", 2050}, {"step", "train.py", 41}, {"<module>", "train.py", 9}}),
      dump_of(
          {{"all_reduce", "c10d.py", 2050}, {"step", "train.py", 42}, {"<module>", "train.py", 9}}),
      dump_of(
          {{"load_batch", "data.py", 5}, {"step", "train.py", 38}, {"<module>", "train.py", 9}})};
  const MergedTree tree = merge_stacks({{.dump = &dumps[0], .class_index = 1},
                                        {.dump = &dumps[1], .class_index = 1},
                                        {.dump = &dumps[2], .class_index = 0}},
                                       2);
  ASSERT_EQ(tree.nodes.front().weight, 3);
  const TreeNode* main = find(tree, "MainThread");
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(main->kind, TreeNodeKind::Thread);
  EXPECT_DOUBLE_EQ(main->weight, 1.5);  // each process's 1 shared by its two threads
  const TreeNode* step = find(tree, "step");
  EXPECT_EQ(node_frame_text(*step), "step (train.py:38,41,42)");
  EXPECT_EQ(step->members, (std::vector<uint32_t>{0, 1, 2}));
  const TreeNode* load = find(tree, "load_batch");
  EXPECT_EQ(load->members, (std::vector<uint32_t>{2}));
  EXPECT_EQ(load->class_weights, (std::vector<ClassWeight>{{.class_index = 0, .weight = 0.5}}));
  // The heavier branch is laid out first, and no node is lighter than its callees.
  EXPECT_EQ(tree.nodes[step->children.front()].function, "all_reduce");
  for (const auto& node : tree.nodes) {
    double below = 0;
    for (const uint32_t child : node.children) below += tree.nodes[child].weight;
    EXPECT_LE(below, node.weight + 1e-9) << node_frame_text(node);
  }
  EXPECT_EQ(breadth_first(tree).size(), tree.nodes.size());
}

TEST(MergedTree, ProfilesSumTheirSamples) {
  const FlameGraph a{.frames = {{"main (t.py:3)", 10, 0, -1}, {"work (t.py:7)", 10, 10, 0}},
                     .total = 10};
  const FlameGraph b{.frames = {{"main (t.py:3)", 30, 5, -1}, {"wait (t.py:9)", 25, 25, 0}},
                     .total = 30};
  const MergedTree tree =
      merge_stacks({{.graph = &a, .class_index = 0}, {.graph = &b, .class_index = 1}}, 2);
  EXPECT_EQ(tree.nodes.front().weight, 40);
  EXPECT_EQ(find(tree, "main")->weight, 40);
  EXPECT_EQ(class_weight(*find(tree, "main"), 1), 30);
  EXPECT_EQ(find(tree, "wait")->members, (std::vector<uint32_t>{1}));
}

}  // namespace
}  // namespace stackpeek::stacks
