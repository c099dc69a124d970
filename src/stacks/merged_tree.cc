#include "stacks/merged_tree.h"

#include <algorithm>
#include <cstddef>
#include <functional>
#include <optional>
#include <unordered_map>

#include "stacks/profile_summary.h"

namespace stackpeek::stacks {
namespace {

// Children looked for one by one; a node with more is indexed.
constexpr size_t kScannedChildren = 8;

struct ChildKey {
  uint32_t parent;
  const void* function;
  const void* file;
  bool thread;
  bool operator==(const ChildKey&) const = default;
};

struct ChildKeyHash {
  size_t operator()(const ChildKey& key) const {
    size_t h = std::hash<const void*>()(key.function);
    h = h * 31 + std::hash<const void*>()(key.file);
    h = h * 31 + key.parent;
    return h * 2 + (key.thread ? 1 : 0);
  }
};

class TreeBuilder {
 public:
  explicit TreeBuilder(size_t classes) {
    tree_.classes = classes;
    TreeNode root;
    root.kind = TreeNodeKind::Root;
    tree_.nodes.push_back(std::move(root));
  }

  // The child of `parent` for this frame or thread, made on first sight. Most nodes have a
  // few children, looked for in order; a node with many has them in the index.
  uint32_t child(uint32_t parent, TreeNodeKind kind, const Name& function, const Name& file) {
    const std::vector<uint32_t>& children = tree_.nodes[parent].children;
    if (children.size() <= kScannedChildren) {
      for (const uint32_t c : children) {
        const TreeNode& node = tree_.nodes[c];
        if (node.function == function && node.file == file && node.kind == kind) return c;
      }
    } else {
      const auto found = index_.find(key_of(parent, kind, function, file));
      if (found != index_.end()) return found->second;
    }
    return add_child(parent, kind, function, file);
  }

  void pass(uint32_t node_index, uint32_t member, uint32_t class_index, double weight,
            std::optional<uint32_t> line = std::nullopt) {
    TreeNode& node = tree_.nodes[node_index];
    node.weight += weight;
    auto& weights = node.class_weights;
    if (weights.empty() || weights.back().class_index != class_index) {
      // Members come in class order, so a new class goes last; any other order still holds.
      const auto at = std::ranges::lower_bound(weights, class_index, {}, &ClassWeight::class_index);
      if (at == weights.end() || at->class_index != class_index) {
        weights.insert(at, {.class_index = class_index, .weight = weight});
      } else {
        at->weight += weight;
      }
    } else {
      weights.back().weight += weight;
    }
    if (node.members.empty() || node.members.back() != member) node.members.push_back(member);
    if (line && std::ranges::find(node.lines, *line) == node.lines.end()) {
      if (node.lines.size() < kKeptLines) {
        node.lines.push_back(*line);
      } else {
        node.more_lines = true;
      }
    }
  }

  void add_dump(const ProcessDump& dump, uint32_t member, uint32_t class_index) {
    pass(0, member, class_index, 1);
    if (dump.threads.empty()) return;
    const double share = 1.0 / static_cast<double>(dump.threads.size());
    for (const auto& thread : dump.threads) {
      uint32_t at = child(0, TreeNodeKind::Thread, Name(thread.name.value_or("")), Name());
      pass(at, member, class_index, share);
      for (auto frame = thread.frames.rbegin(); frame != thread.frames.rend(); ++frame) {
        at = child(at, TreeNodeKind::Frame, frame->function, frame->file);
        pass(at, member, class_index, share, frame->line);
      }
    }
  }

  void add_graph(const FlameGraph& graph, uint32_t member, uint32_t class_index) {
    pass(0, member, class_index, static_cast<double>(graph.total));
    std::vector<uint32_t> node_of(graph.frames.size());
    for (size_t i = 0; i < graph.frames.size(); ++i) {
      const FlameFrame& frame = graph.frames[i];
      const uint32_t parent = frame.parent < 0 ? 0 : node_of[static_cast<size_t>(frame.parent)];
      const StackFrame split = frame_from_name(frame.name);
      node_of[i] = child(parent, TreeNodeKind::Frame, split.function, split.file);
      pass(node_of[i], member, class_index, static_cast<double>(frame.samples), split.line);
    }
  }

  MergedTree finish() {
    for (auto& node : tree_.nodes) {
      std::ranges::sort(node.lines);
      // Stable: equal weights keep the order the members first showed them in.
      std::ranges::stable_sort(node.children, std::greater<>(),
                               [&](uint32_t i) { return tree_.nodes[i].weight; });
    }
    return std::move(tree_);
  }

 private:
  static ChildKey key_of(uint32_t parent, TreeNodeKind kind, const Name& function,
                         const Name& file) {
    return {parent, function.id(), file.id(), kind == TreeNodeKind::Thread};
  }

  uint32_t add_child(uint32_t parent, TreeNodeKind kind, const Name& function, const Name& file) {
    const auto index = static_cast<uint32_t>(tree_.nodes.size());
    TreeNode node;
    node.kind = kind;
    node.function = function;
    node.file = file;
    node.parent = static_cast<int32_t>(parent);
    tree_.nodes.push_back(std::move(node));
    std::vector<uint32_t>& children = tree_.nodes[parent].children;
    children.push_back(index);
    if (children.size() == kScannedChildren + 1) {
      for (const uint32_t c : children) {
        const TreeNode& known = tree_.nodes[c];
        index_.emplace(key_of(parent, known.kind, known.function, known.file), c);
      }
    } else if (children.size() > kScannedChildren) {
      index_.emplace(key_of(parent, kind, function, file), index);
    }
    return index;
  }

  MergedTree tree_;
  std::unordered_map<ChildKey, uint32_t, ChildKeyHash> index_;
};

}  // namespace

MergedTree merge_stacks(const std::vector<TreeMember>& members, size_t classes) {
  TreeBuilder builder(classes);
  for (size_t i = 0; i < members.size(); ++i) {
    const auto member = static_cast<uint32_t>(i);
    if (members[i].dump) {
      builder.add_dump(*members[i].dump, member, members[i].class_index);
    } else if (members[i].graph) {
      builder.add_graph(*members[i].graph, member, members[i].class_index);
    }
  }
  return builder.finish();
}

double class_weight(const TreeNode& node, uint32_t class_index) {
  const auto at =
      std::ranges::lower_bound(node.class_weights, class_index, {}, &ClassWeight::class_index);
  return at != node.class_weights.end() && at->class_index == class_index ? at->weight : 0;
}

std::vector<uint32_t> breadth_first(const MergedTree& tree) {
  std::vector<uint32_t> order;
  if (tree.nodes.empty()) return order;
  order.reserve(tree.nodes.size());
  order.push_back(0);
  for (size_t next = 0; next < order.size(); ++next) {
    const auto& children = tree.nodes[order[next]].children;
    order.insert(order.end(), children.begin(), children.end());
  }
  return order;
}

std::string node_frame_text(const TreeNode& node, size_t max_lines) {
  if (node.kind != TreeNodeKind::Frame) return node.function.str();
  std::string text = node.function.str() + " (" + node.file.str();
  for (size_t i = 0; i < node.lines.size() && i < max_lines; ++i)
    text += (i == 0 ? ":" : ",") + std::to_string(node.lines[i]);
  if (node.lines.size() > max_lines || node.more_lines) text += ",…";
  return text + ")";
}

}  // namespace stackpeek::stacks
