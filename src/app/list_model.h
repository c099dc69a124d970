#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "discovery/groups.h"
#include "discovery/run_target.h"

namespace stackpeek::app {

/// One line of the process list: a group row, or a member row of an expanded group.
struct ListRow {
  enum class Kind { Group, Process };
  Kind kind = Kind::Group;
  size_t group_index = 0;
  size_t member_index = 0;  // process rows only
  std::string text;
  /// The bytes of `text` that give way when the row is too narrow: the label of a group
  /// row, the command line of a process row. What lies around them (tags, pid, rank) stays.
  size_t fit_begin = 0, fit_end = 0;
};

/// What a request is aimed at: one process by pid, or one group by its key.
struct Selection {
  enum class Kind { Process, Group };
  Kind kind = Kind::Process;
  uint32_t pid = 0;
  std::string key;

  static Selection process(uint32_t pid) { return {Kind::Process, pid, {}}; }
  static Selection group(std::string key) { return {Kind::Group, 0, std::move(key)}; }
  bool operator==(const Selection&) const = default;
};

/// The keys of the groups whose members are hidden; every other group shows its members.
using CollapsedGroups = std::set<std::string>;

/// Per group key, how long every stack of the group had been unchanged at its last dump.
using UnchangedGroups = std::map<std::string, std::chrono::seconds>;

/// The tag a group row shows after its label: "unchanged 45s", "unchanged 5m",
/// "unchanged 2h"; empty for 30 s or less.
std::string unchanged_tag(std::chrono::seconds unchanged);

/// True when `filter` is empty or occurs, ignoring ASCII case, in the group's label or in
/// one of its members' pid or command line.
bool group_matches(const discovery::ProcessGroup& group, std::string_view filter);

/// The rows of the process list, group by group, for the groups `filter` matches; a
/// collapsed group shows only its own row; a group in `unchanged` carries its tag.
std::vector<ListRow> list_rows(const std::vector<discovery::ProcessGroup>& groups,
                               const CollapsedGroups& collapsed = {}, std::string_view filter = {},
                               const UnchangedGroups& unchanged = {});

/// What a row of the list stands for: its group, and for a process row its member.
struct RowTarget {
  const discovery::ProcessGroup* group = nullptr;
  const discovery::ProcessInfo* member = nullptr;  // nullptr for a group row

  /// The request target: the member's pid, or the group's key.
  Selection selection() const;
};

/// The group and member of row `index`; nothing when there is no such row or the row
/// points past the groups it was built from.
std::optional<RowTarget> resolve_row(const std::vector<discovery::ProcessGroup>& groups,
                                     const std::vector<ListRow>& rows, size_t index);

/// The row that stands for `selection`: the process row of its pid, or the group row of its
/// key; nothing when the list has no such row.
std::optional<size_t> find_row(const std::vector<discovery::ProcessGroup>& groups,
                               const std::vector<ListRow>& rows, const Selection& selection);

/// What a request on `selection` targets on this machine: the process ("pid-N"), or the
/// members of the group in member order under the group's label (none, under its key, when
/// the group is gone).
discovery::RunTarget selection_target(const std::vector<discovery::ProcessGroup>& groups,
                                      const Selection& selection);

}  // namespace stackpeek::app
