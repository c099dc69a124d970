#include "report/stacks_svg.h"

#include <fmt/format.h>

#include "common/util.h"
#include "report/flame_svg.h"
#include "report/picture_members.h"
#include "report/report_dir.h"
#include "report/report_file.h"
#include "stacks/merged_tree.h"

namespace stackpeek::report {
namespace {

// Names tried for a picture before giving up: "-2" up to this suffix.
constexpr unsigned kMaxNameSuffix = 1000;

// Classes the legend names.
constexpr size_t kLegendClasses = 7;

struct Drawn {
  std::vector<const stacks::DumpResult*> members;  // the parsed dumps, drawn
  std::vector<stacks::TreeMember> tree_members;
  std::vector<std::vector<uint32_t>> classes;  // members of each class, smallest first
};

Drawn drawn_members(const std::vector<stacks::DumpResult>& results,
                    const stacks::StackComparison& comparison) {
  Drawn drawn;
  for (const auto& bucket : comparison.buckets) {
    if (bucket.kind != stacks::BucketKind::Stack) continue;
    std::vector<uint32_t> members;
    for (const size_t index : bucket.members) {
      if (!results[index].dump) continue;
      members.push_back(static_cast<uint32_t>(drawn.members.size()));
      drawn.members.push_back(&results[index]);
      drawn.tree_members.push_back({.dump = &*results[index].dump,
                                    .class_index = static_cast<uint32_t>(drawn.classes.size())});
    }
    drawn.classes.push_back(std::move(members));
  }
  return drawn;
}

std::vector<LegendEntry> legend(const Drawn& drawn, const MemberNames& names) {
  std::vector<LegendEntry> entries;
  entries.push_back({std::string(kSharedFill), "every process"});
  if (drawn.classes.size() > 2) entries.push_back({std::string(kMixedFill), "several stacks"});
  const size_t classes = drawn.classes.size();
  for (size_t c = 0; c < classes; ++c) {
    // The odd ones first, then the largest class; those between are counted.
    if (c + 1 == kLegendClasses && c + 1 < classes) {
      entries.push_back(
          {std::string(kMixedFill), fmt::format("{} more stacks", classes - kLegendClasses)});
      c = classes - 2;
      continue;
    }
    entries.push_back(
        {class_fill(c, drawn.classes.size()),
         processes_text(drawn.classes[c].size()) + ": " + names.text(drawn.classes[c])});
  }
  return entries;
}

// What the subtitle counts besides the processes drawn.
struct Counts {
  size_t processes = 0;
  size_t distinct = 0;
  bool hosts = false;  // members are named with their hosts
};

std::string subtitle(const Counts& counts, size_t drawn) {
  std::string text = fmt::format(
      "{}, {} distinct stack{}; width: processes; outermost frame at "
      "the bottom",
      processes_text(drawn), counts.distinct, counts.distinct == 1 ? "" : "s");
  if (drawn < counts.processes)
    text += fmt::format("; {} without a stack not drawn", counts.processes - drawn);
  return text;
}

std::string draw(const Drawn& drawn, const Counts& counts, std::string_view label) {
  const stacks::MergedTree tree = stacks::merge_stacks(drawn.tree_members, drawn.classes.size());
  const MemberNames names(drawn.members, counts.hosts);
  FlamePicture picture{.title = fmt::format("Stacks of {}", label),
                       .subtitle = subtitle(counts, drawn.members.size()),
                       .boxes = {},
                       .legend = legend(drawn, names)};
  const std::vector<uint32_t> order = stacks::breadth_first(tree);
  const std::vector<std::string> node_names = names.node_texts(tree, order);
  std::vector<int32_t> box_of(tree.nodes.size(), -1);
  for (const uint32_t i : order) {
    const stacks::TreeNode& node = tree.nodes[i];
    const bool everyone = node.members.size() == drawn.members.size();
    const std::string& who = node_names[i];
    box_of[i] = static_cast<int32_t>(picture.boxes.size());
    picture.boxes.push_back(
        {.label = box_label(node, everyone, who),
         .tooltip = fmt::format("{}\n{} of {}: {}", box_title(node), node.members.size(),
                                processes_text(drawn.members.size()), who),
         .fill = members_fill(node, everyone, drawn.classes.size()),
         .weight = node.weight,
         .parent = node.parent < 0 ? -1 : box_of[static_cast<size_t>(node.parent)]});
  }
  return render_flame_svg(picture);
}

}  // namespace

std::string stacks_svg(const std::vector<stacks::DumpResult>& results,
                       const stacks::StackComparison& comparison, std::string_view label) {
  return draw(drawn_members(results, comparison),
              {.processes = comparison.processes,
               .distinct = comparison.distinct,
               .hosts = comparison.hosts > 0},
              label);
}

std::string stacks_svg(const stacks::StackClasses& classes, std::string_view label) {
  // Every member of a class stands on the class's one stack: nothing is copied per member.
  std::vector<stacks::ProcessDump> stacks_of;
  std::vector<stacks::DumpResult> members;
  stacks_of.reserve(classes.classes.size());
  members.reserve(classes.processes);
  Drawn drawn;
  for (const auto& merged : classes.classes) {
    if (merged.kind != stacks::BucketKind::Stack) continue;
    const auto class_index = static_cast<uint32_t>(drawn.classes.size());
    const stacks::ProcessDump& dump = stacks_of.emplace_back(
        stacks::ProcessDump{.process_line = {}, .python_line = {}, .threads = merged.threads});
    std::vector<uint32_t> indexes;
    for (const auto& member : merged.members) {
      indexes.push_back(static_cast<uint32_t>(drawn.members.size()));
      drawn.members.push_back(
          &members.emplace_back(stacks::DumpResult{.host = member.host,
                                                   .pid = member.pid,
                                                   .rank = member.rank,
                                                   .world_size = member.world_size,
                                                   .job = member.job,
                                                   .status = stacks::DumpStatus::Ok,
                                                   .error = {},
                                                   .dump = std::nullopt,
                                                   .raw = {},
                                                   .unchanged = member.unchanged}));
      drawn.tree_members.push_back({.dump = &dump, .graph = nullptr, .class_index = class_index});
    }
    drawn.classes.push_back(std::move(indexes));
  }
  return draw(
      drawn,
      {.processes = classes.processes, .distinct = classes.distinct, .hosts = classes.hosts > 0},
      label);
}

namespace {

Result<void> write_svg(const std::filesystem::path& path, const std::string& svg) {
  auto written = write_file_whole(path, svg);
  if (!written) return std::unexpected(written.error().context("cannot write " + path_text(path)));
  return {};
}

}  // namespace

Result<void> write_stacks_svg(const std::filesystem::path& path,
                              const std::vector<stacks::DumpResult>& results,
                              const stacks::StackComparison& comparison, std::string_view label) {
  return write_svg(path, stacks_svg(results, comparison, label));
}

Result<void> write_stacks_svg(const std::filesystem::path& path,
                              const stacks::StackClasses& classes, std::string_view label) {
  return write_svg(path, stacks_svg(classes, label));
}

Result<std::filesystem::path> write_stacks_svg_here(const std::vector<stacks::DumpResult>& results,
                                                    const stacks::StackComparison& comparison,
                                                    std::string_view label) {
  const std::string base =
      fmt::format("stackpeek-stacks-{}-{}", report_slug(label), unix_seconds());
  for (unsigned n = 1; n <= kMaxNameSuffix; ++n) {
    const std::filesystem::path path = n == 1 ? base + ".svg" : fmt::format("{}-{}.svg", base, n);
    std::error_code ec;
    if (std::filesystem::exists(path, ec) || ec) continue;
    auto written =
        write_stacks_svg(std::filesystem::absolute(path, ec), results, comparison, label);
    if (!written) return std::unexpected(std::move(written.error()));
    return std::filesystem::absolute(path, ec);
  }
  return std::unexpected(Error("no free name for " + base + ".svg"));
}

}  // namespace stackpeek::report
