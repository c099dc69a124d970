#include "report/group_svg.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "common/util.h"
#include "report/flame_svg.h"
#include "report/picture_members.h"
#include "report/report_file.h"
#include "stacks/merged_tree.h"
#include "stacks/stack_compare.h"

namespace stackpeek::report {
namespace {

// A share differing by less than this (a fraction of the samples) is drawn as equal.
constexpr double kEqualShare = 0.01;
// The difference drawn in the strongest colour.
constexpr double kFullDifference = 0.5;
constexpr std::string_view kEqualFill = "#cdcdcd";
struct Rgb {
  double r, g, b;
};
constexpr Rgb kPaleRed{245, 208, 200}, kRed{215, 48, 39};
constexpr Rgb kPaleBlue{205, 222, 240}, kBlue{69, 117, 180};
// Classes whose shares a tooltip lists.
constexpr size_t kTooltipClasses = 8;

struct Members {
  std::vector<stacks::DumpResult> heaviest;  // one per process with a graph: its heaviest stack
  std::vector<const stacks::FlameGraph*> graphs;
};

// A process drawn: one whose graph was read and holds samples.
bool pictured(const ProcessFacts& f) {
  return f.profile.graph && f.profile.summary && !f.profile.summary->heaviest_stack.empty();
}

Members profiled(const std::vector<ProcessFacts>& facts) {
  Members members;
  for (const auto& f : facts) {
    if (!pictured(f)) continue;
    stacks::DumpResult result;
    result.pid = f.process.pid;
    result.rank = f.process.rank;
    result.dump = stacks::heaviest_stack_dump(*f.profile.summary);
    members.heaviest.push_back(std::move(result));
    members.graphs.push_back(f.profile.graph.get());
  }
  return members;
}

std::string blend(Rgb from, Rgb to, double t) {
  const auto mix = [&](double a, double b) {
    return static_cast<int>(std::lround(a + (b - a) * t));
  };
  return fmt::format("#{:02x}{:02x}{:02x}", mix(from.r, to.r), mix(from.g, to.g),
                     mix(from.b, to.b));
}

// The odd ones' share of their samples in a box minus the rest's share.
double difference(const stacks::TreeNode& node, const stacks::TreeNode& root, size_t classes) {
  const auto rest = static_cast<uint32_t>(classes - 1);
  const double rest_total = stacks::class_weight(root, rest);
  const double odd_total = root.weight - rest_total;
  if (odd_total <= 0 || rest_total <= 0) return 0;
  const double rest_weight = stacks::class_weight(node, rest);
  return (node.weight - rest_weight) / odd_total - rest_weight / rest_total;
}

std::string difference_fill(double diff) {
  if (std::abs(diff) < kEqualShare) return std::string(kEqualFill);
  const double t = std::min(1.0, std::abs(diff) / kFullDifference);
  return diff > 0 ? blend(kPaleRed, kRed, t) : blend(kPaleBlue, kBlue, t);
}

std::string tooltip(const stacks::TreeNode& node, const stacks::TreeNode& root,
                    const std::vector<std::string>& class_names) {
  std::string text = fmt::format("{}\n{:.0f} samples, {:.1f} % of all", box_title(node),
                                 node.weight, 100 * node.weight / std::max(root.weight, 1.0));
  for (size_t c = 0; c < class_names.size() && c < kTooltipClasses; ++c) {
    const auto index = static_cast<uint32_t>(c);
    const double total = stacks::class_weight(root, index);
    const double share = total > 0 ? stacks::class_weight(node, index) / total : 0;
    text += fmt::format("\n{}: {:.1f} %", class_names[c], 100 * share);
  }
  return text;
}

std::vector<LegendEntry> legend(size_t classes) {
  if (classes < 2) return {{std::string(kEqualFill), "all processes alike"}};
  return {{blend(kPaleRed, kRed, 1), "odd ones spend a larger share"},
          {blend(kPaleBlue, kBlue, 1), "odd ones spend a smaller share"},
          {std::string(kEqualFill), "about the same share"}};
}

// "4 processes, 1596 samples; odd ones: rank 3; rest: ranks 0-2; width: samples".
std::string subtitle(const MemberNames& names, const std::vector<std::vector<uint32_t>>& classes,
                     size_t members, double samples) {
  std::string text = fmt::format("{}, {:.0f} samples; ", processes_text(members), samples);
  if (classes.size() >= 2) {
    std::vector<uint32_t> odd;
    for (size_t c = 0; c + 1 < classes.size(); ++c)
      odd.insert(odd.end(), classes[c].begin(), classes[c].end());
    std::ranges::sort(odd);
    text += fmt::format("odd ones: {}; rest: {}; ", names.text(odd), names.text(classes.back()));
  }
  return text + "width: samples";
}

}  // namespace

bool has_group_picture(const std::vector<ProcessFacts>& facts) {
  return std::ranges::count_if(facts, pictured) >= 2;
}

std::string group_svg(const std::vector<ProcessFacts>& facts, std::string_view label) {
  const Members members = profiled(facts);
  const stacks::StackComparison comparison = stacks::compare_stacks(members.heaviest);
  std::vector<stacks::TreeMember> tree_members(members.graphs.size());
  std::vector<const stacks::DumpResult*> named;
  std::vector<std::vector<uint32_t>> classes;
  for (const auto& bucket : comparison.buckets) {
    std::vector<uint32_t> which;
    for (const size_t i : bucket.members) {
      tree_members[i] = {.graph = members.graphs[i],
                         .class_index = static_cast<uint32_t>(classes.size())};
      which.push_back(static_cast<uint32_t>(i));
    }
    std::ranges::sort(which);
    classes.push_back(std::move(which));
  }
  for (const auto& result : members.heaviest) named.push_back(&result);
  // One machine's processes: named by rank or pid, as the report names them.
  const MemberNames names(named, false);
  std::vector<std::string> class_names;
  class_names.reserve(classes.size());
  for (const auto& which : classes) class_names.push_back(names.text(which));
  const stacks::MergedTree tree = stacks::merge_stacks(tree_members, classes.size());
  FlamePicture picture{
      .title = fmt::format("Profiles of {}", label),
      .subtitle = subtitle(names, classes, members.graphs.size(), tree.nodes.front().weight),
      .boxes = {},
      .legend = legend(classes.size())};
  std::vector<int32_t> box_of(tree.nodes.size(), -1);
  const stacks::TreeNode& root = tree.nodes.front();
  const std::vector<uint32_t> order = stacks::breadth_first(tree);
  const std::vector<std::string> node_names = names.node_texts(tree, order);
  for (const uint32_t i : order) {
    const stacks::TreeNode& node = tree.nodes[i];
    const bool everyone = node.members.size() == members.graphs.size();
    box_of[i] = static_cast<int32_t>(picture.boxes.size());
    picture.boxes.push_back(
        {.label = box_label(node, everyone, node_names[i]),
         .tooltip = tooltip(node, root, class_names),
         .fill = classes.size() < 2 ? std::string(kEqualFill)
                                    : difference_fill(difference(node, root, classes.size())),
         .weight = node.weight,
         .parent = node.parent < 0 ? -1 : box_of[static_cast<size_t>(node.parent)]});
  }
  return render_flame_svg(picture);
}

Result<void> write_group_svg(const ReportDir& dir, const std::vector<ProcessFacts>& facts) {
  if (!has_group_picture(facts)) return {};
  const auto path = dir.report_directory / kGroupSvgName;
  auto written = write_file_whole(path, group_svg(facts, dir.target_label));
  if (!written) return std::unexpected(written.error().context("cannot write " + path_text(path)));
  return {};
}

}  // namespace stackpeek::report
