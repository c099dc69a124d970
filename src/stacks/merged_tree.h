#pragma once

// The stacks of many processes merged into one call tree, as a flame graph of a group
// draws it: every path from the outermost frame inward appears once, with the members
// (processes) that pass through it and how much of the group's weight it holds. Frames
// merge on function and file; the lines seen there are kept, so ranks a line apart share
// one node.

#include <cstdint>
#include <string>
#include <vector>

#include "stacks/dump_parser.h"
#include "stacks/flame_graph.h"
#include "stacks/name.h"

namespace stackpeek::stacks {

/// Lines of one frame kept in a node: enough for any text, bounded for 100,000 processes.
constexpr size_t kKeptLines = 16;

/// The weight one class of members gives a node.
struct ClassWeight {
  uint32_t class_index = 0;
  double weight = 0;
  bool operator==(const ClassWeight&) const = default;
};

enum class TreeNodeKind { Root, Thread, Frame };

struct TreeNode {
  TreeNodeKind kind = TreeNodeKind::Frame;
  Name function;  // the thread's name for a thread node; empty for the root
  Name file;
  std::vector<uint32_t> lines;  // distinct, ascending; the first kKeptLines seen
  bool more_lines = false;      // lines beyond those kept were seen
  double weight = 0;            // processes (dumps) or samples (profiles)
  /// The classes passing through, ascending by class: one entry for each, so a tree of
  /// 100,000 classes holds no more entries than it has passes.
  std::vector<ClassWeight> class_weights;
  std::vector<uint32_t> members;  // members passing through, ascending, distinct
  int32_t parent = -1;
  std::vector<uint32_t> children;  // heaviest first, then in order of arrival
};

/// nodes[0] is the root; every caller comes before its callees.
struct MergedTree {
  std::vector<TreeNode> nodes;
  size_t classes = 0;
};

/// One member of the tree: its stacks and the class it belongs to (0 .. classes-1).
struct TreeMember {
  const ProcessDump* dump = nullptr;  // a dumped process, or
  const FlameGraph* graph = nullptr;  // a recorded one
  uint32_t class_index = 0;
};

/// The weight class `class_index` gives the node; 0 when it does not pass through.
double class_weight(const TreeNode& node, uint32_t class_index);

/// Merges the members in order; members come class by class, ascending (member i is index i in
/// `members` of the nodes). A dump weighs 1 at the root, shared evenly by its threads, each under a
/// node named for the thread ("MainThread" of every process in one node); a graph weighs its
/// samples. A member with neither weighs nothing.
MergedTree merge_stacks(const std::vector<TreeMember>& members, size_t classes);

/// The nodes from the root outward, row by row, each node's children heaviest first: the
/// order in which a flame graph lays them out.
std::vector<uint32_t> breadth_first(const MergedTree& tree);

/// "step (train.py:41,42)"; "step (train.py)" without lines; at most `max_lines` lines,
/// then "…".
std::string node_frame_text(const TreeNode& node, size_t max_lines = 4);

}  // namespace stackpeek::stacks
