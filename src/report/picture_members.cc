#include "report/picture_members.h"

#include <algorithm>
#include <array>
#include <optional>
#include <utility>

#include "stacks/comparison_text.h"

namespace stackpeek::report {
namespace {

constexpr std::array<std::string_view, 6> kWarmFills = {"#e4584f", "#f08a3c", "#e9b949",
                                                        "#d9648f", "#b9783e", "#f4a582"};
constexpr std::string_view kLargestFill = "#8fb4d8";

}  // namespace

MemberNames::MemberNames(const std::vector<const stacks::DumpResult*>& members, bool hosts)
    : hosts_(hosts) {
  for (const auto* member : members) {
    if (hosts_) {
      hosted_.push_back({.host = member->host,
                         .pid = member->pid,
                         .rank = member->rank,
                         .world_size = member->world_size,
                         .job = {},
                         .unchanged = {}});
    } else {
      named_.push_back({member->pid, member->rank, nullptr});
    }
  }
}

std::string MemberNames::text(const std::vector<uint32_t>& which) const {
  if (!hosts_) return stacks::member_names(named_, {which.begin(), which.end()});
  std::vector<const stacks::ClassMember*> chosen;
  chosen.reserve(which.size());
  for (const uint32_t i : which) chosen.push_back(&hosted_[i]);
  return stacks::host_member_names(chosen);
}

std::vector<std::string> MemberNames::node_texts(const stacks::MergedTree& tree,
                                                 const std::vector<uint32_t>& order) const {
  std::vector<std::string> texts(tree.nodes.size());
  for (const uint32_t i : order) {
    const stacks::TreeNode& node = tree.nodes[i];
    const auto parent = static_cast<size_t>(node.parent);
    texts[i] = node.parent >= 0 && tree.nodes[parent].members.size() == node.members.size()
                   ? texts[parent]
                   : text(node.members);
  }
  return texts;
}

std::string class_fill(size_t index, size_t classes) {
  if (classes >= 2 && index + 1 == classes) return std::string(kLargestFill);
  return std::string(kWarmFills[index % kWarmFills.size()]);
}

std::string members_fill(const stacks::TreeNode& node, bool everyone, size_t classes) {
  if (everyone) return std::string(kSharedFill);
  if (node.class_weights.size() == 1)
    return class_fill(node.class_weights.front().class_index, classes);
  return std::string(kMixedFill);
}

std::string box_label(const stacks::TreeNode& node, bool everyone, const std::string& names) {
  std::string text;
  switch (node.kind) {
    case stacks::TreeNodeKind::Root:
      return names.empty() ? "all" : "all: " + names;
    case stacks::TreeNodeKind::Thread:
      text = node.function.empty() ? "thread (no name)" : "thread \"" + node.function + "\"";
      break;
    case stacks::TreeNodeKind::Frame:
      text = stacks::node_frame_text(node);
      break;
  }
  return everyone ? text : "[" + names + "] " + text;
}

std::string box_title(const stacks::TreeNode& node) {
  constexpr size_t kTitleLines = 16;
  if (node.kind == stacks::TreeNodeKind::Frame) return stacks::node_frame_text(node, kTitleLines);
  return box_label(node, true, {});
}

std::string processes_text(size_t count) {
  return std::to_string(count) + (count == 1 ? " process" : " processes");
}

}  // namespace stackpeek::report
