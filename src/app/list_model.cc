#include "app/list_model.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <cctype>

#include "common/util.h"
#include "discovery/launcher.h"

namespace stackpeek::app {
namespace {

using discovery::ProcessGroup;
using discovery::ProcessInfo;

ListRow group_row(const ProcessGroup& group, size_t index, bool expanded,
                  const UnchangedGroups& unchanged) {
  ListRow row{ListRow::Kind::Group, index, 0, expanded ? "v " : "> "};
  row.fit_begin = row.text.size();
  row.text += one_line(group.label);
  row.fit_end = row.text.size();
  const auto it = unchanged.find(group.key);
  const std::string tag = it == unchanged.end() ? "" : unchanged_tag(it->second);
  if (!tag.empty()) row.text += " (" + tag + ")";
  row.text +=
      fmt::format(" [{}] {} procs", discovery::group_kind_label(group.kind), group.members.size());
  return row;
}

// The whole command line: the screen fits it to the list's width.
ListRow member_row(const ProcessInfo& member, size_t group_index, size_t index) {
  ListRow row{ListRow::Kind::Process, group_index, index, fmt::format("  pid {:<7} ", member.pid)};
  if (auto rank = discovery::rank_text(member)) row.text += *rank + " ";
  row.fit_begin = row.text.size();
  row.text +=
      one_line(member.cmd.empty() ? member.name : fmt::format("{}", fmt::join(member.cmd, " ")));
  row.fit_end = row.text.size();
  return row;
}

bool contains_folded(std::string_view text, std::string_view needle) {
  const auto fold = [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) ==
           std::tolower(static_cast<unsigned char>(b));
  };
  return std::search(text.begin(), text.end(), needle.begin(), needle.end(), fold) != text.end();
}

}  // namespace

std::string unchanged_tag(std::chrono::seconds unchanged) {
  const auto count = unchanged.count();
  if (count <= 30) return {};
  if (count < 60) return fmt::format("unchanged {}s", count);
  if (count < 3600) return fmt::format("unchanged {}m", count / 60);
  return fmt::format("unchanged {}h", count / 3600);
}

bool group_matches(const ProcessGroup& group, std::string_view filter) {
  if (filter.empty() || contains_folded(group.label, filter)) return true;
  return std::ranges::any_of(group.members, [&](const ProcessInfo& member) {
    return contains_folded(std::to_string(member.pid), filter) ||
           contains_folded(
               member.cmd.empty() ? member.name : fmt::format("{}", fmt::join(member.cmd, " ")),
               filter);
  });
}

std::vector<ListRow> list_rows(const std::vector<ProcessGroup>& groups,
                               const CollapsedGroups& collapsed, std::string_view filter,
                               const UnchangedGroups& unchanged) {
  std::vector<ListRow> rows;
  for (size_t g = 0; g < groups.size(); ++g) {
    const ProcessGroup& group = groups[g];
    if (!group_matches(group, filter)) continue;
    const bool expanded = !collapsed.contains(group.key);
    rows.push_back(group_row(group, g, expanded, unchanged));
    if (!expanded) continue;
    for (size_t m = 0; m < group.members.size(); ++m)
      rows.push_back(member_row(group.members[m], g, m));
  }
  return rows;
}

Selection RowTarget::selection() const {
  return member ? Selection::process(member->pid) : Selection::group(group->key);
}

std::optional<RowTarget> resolve_row(const std::vector<ProcessGroup>& groups,
                                     const std::vector<ListRow>& rows, size_t index) {
  if (index >= rows.size()) return std::nullopt;
  const ListRow& row = rows[index];
  if (row.group_index >= groups.size()) return std::nullopt;
  const ProcessGroup& group = groups[row.group_index];
  if (row.kind == ListRow::Kind::Group) return RowTarget{&group, nullptr};
  if (row.member_index >= group.members.size()) return std::nullopt;
  return RowTarget{&group, &group.members[row.member_index]};
}

std::optional<size_t> find_row(const std::vector<ProcessGroup>& groups,
                               const std::vector<ListRow>& rows, const Selection& selection) {
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto target = resolve_row(groups, rows, i);
    if (target && target->selection() == selection) return i;
  }
  return std::nullopt;
}

discovery::RunTarget selection_target(const std::vector<ProcessGroup>& groups,
                                      const Selection& selection) {
  discovery::TargetRequest request;
  if (selection.kind == Selection::Kind::Process) {
    request.pids = {selection.pid};
  } else {
    request.groups = {selection.key};
  }
  std::string host = discovery::local_host_name();
  auto target = discovery::resolve_target(groups, request, host);
  if (!target) return {selection.key, std::move(host), {}};
  return std::move(*target);
}

}  // namespace stackpeek::app
