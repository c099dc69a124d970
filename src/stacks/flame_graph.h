#pragma once

// The call tree of a flame-graph SVG as py-spy record writes it (inferno), read back from
// the frames' <title> texts and rectangles. Also compiled by the fuzz build (clang 14,
// C++20): keep to C++20 and the standard library here.
//
// A frame is a <title> followed by a <rect> before the next <title>:
//
//   <g><title>step (train.py:41) (20 samples, 100.00%)</title>
//      <rect x="0.0000%" y="68" width="100.0000%" height="15" fg:x="0" fg:w="20"/>
//
// `fg:x` and `fg:w` give the offset and width in samples; without them the title's count
// gives the samples and the rectangle's x and width the place. The rows' y give the depth;
// the root row holds the synthetic "all" frame, which is left out of the tree.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace stackpeek::stacks {

/// One frame of the call tree: a function at one place in one stack.
struct FlameFrame {
  std::string name;      // "step (train.py:41)", entities decoded
  uint64_t samples = 0;  // samples in this frame and every frame it called
  uint64_t own = 0;      // samples in this frame itself (the stack's leaf)
  int32_t parent = -1;   // index of the caller; -1 for a frame at the root
  bool operator==(const FlameFrame&) const = default;
};

/// Frames ordered so that every caller comes before its callees; siblings keep the order
/// of the graph (left to right).
struct FlameGraph {
  std::vector<FlameFrame> frames;
  uint64_t total = 0;  // sum of the root frames' samples
  bool operator==(const FlameGraph&) const = default;
};

/// The graph, or a one-line reason why the text is not a readable flame graph.
struct FlameGraphRead {
  std::optional<FlameGraph> graph;
  std::string error;
};

/// Reads a flame-graph SVG. Fails (never throws, never recurses) on text without frames,
/// on py-spy's placeholder for a run without samples, on frames without a caller below
/// them or whose callees hold more samples than they do, and on counts beyond 2^53.
/// Memory stays proportional to the text's size.
FlameGraphRead read_flame_graph(std::string_view svg);

/// The stack of a frame, outermost first, joined by ";": flamegraph's collapsed form.
std::string stack_path(const FlameGraph& graph, size_t frame);

/// Calls `line` with "root;…;leaf COUNT" for every frame with own samples, in graph order;
/// the counts add up to `total`. Each stack appears once.
template <class LineFn>
void for_each_folded_line(const FlameGraph& graph, LineFn&& line) {
  for (size_t i = 0; i < graph.frames.size(); ++i) {
    if (graph.frames[i].own == 0) continue;
    line(stack_path(graph, i) + " " + std::to_string(graph.frames[i].own));
  }
}

/// The size in bytes of every folded line with its line feed, without building them.
uint64_t folded_size(const FlameGraph& graph);

}  // namespace stackpeek::stacks
