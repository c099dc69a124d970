#pragma once

// Who a box of a group's flame graph stands for, and the colours of the classes of
// members (processes that show the same stack): the odd ones out warm, the largest class
// cool, what every member shares neutral.

#include <cstdint>
#include <string>
#include <vector>

#include "stacks/merged_tree.h"
#include "stacks/profile_compare.h"
#include "stacks/stack_classes.h"
#include "stacks/stack_compare.h"

namespace stackpeek::report {

constexpr std::string_view kSharedFill = "#c4c1b6";  // every member passes through
constexpr std::string_view kMixedFill = "#e2ddd0";   // members of several classes

/// Names sets of the members: "rank 3", "ranks 0-2,4-7", "pids 17 18"; across hosts
/// "node03:19 node04:20-23".
class MemberNames {
 public:
  MemberNames(const std::vector<const stacks::DumpResult*>& members, bool hosts);
  /// The members `which` (indices into the members given), ascending.
  std::string text(const std::vector<uint32_t>& which) const;
  /// text() of every node's members, by node index. A node with as many members as its
  /// caller has the same ones and takes its caller's text, so a deep tree of 100,000
  /// processes names each set once. `order` lists callers before callees.
  std::vector<std::string> node_texts(const stacks::MergedTree& tree,
                                      const std::vector<uint32_t>& order) const;

 private:
  std::vector<stacks::ClassMember> hosted_;  // with hosts: the members as classes name them
  std::vector<stacks::ProfileMember> named_;
  bool hosts_;
};

/// The fill of class `index` of `classes`, smallest class first: warm hues for the odd
/// ones out, a cool one for the last (largest) class when there are two or more.
std::string class_fill(size_t index, size_t classes);

/// The fill of a box with this weight per class: shared when every member passes through
/// it, the class's own fill when one class does, else the mixed fill.
std::string members_fill(const stacks::TreeNode& node, bool everyone, size_t classes);

/// The text of a tree node's box: "all: NAMES", "thread \"MainThread\"", "step (train.py:41)";
/// with the members' names first ("[rank 3] …") unless `everyone` passes through it.
std::string box_label(const stacks::TreeNode& node, bool everyone, const std::string& names);

/// The first line of a box's tooltip: the frame with up to 16 lines, or the box's label.
std::string box_title(const stacks::TreeNode& node);

/// "1 process", "7 processes".
std::string processes_text(size_t count);

}  // namespace stackpeek::report
