#pragma once

// What a run targets: the processes it covers, with what the snapshot knew of each when the
// run was asked for, the host they run on and the label that names its report folder.
// Resolved once, from the screen's selection or the command line's targets, and then shared
// by the commands, the stack comparison and the report, whatever later snapshots show.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "discovery/groups.h"

namespace stackpeek::discovery {

/// Which processes a run covers, as named: pids, group keys, or every group.
struct TargetSpec {
  std::vector<uint32_t> pids;
  std::vector<std::string> groups;
  bool all = false;
  bool empty() const { return pids.empty() && groups.empty() && !all; }
  bool operator==(const TargetSpec&) const = default;
};

/// One process a run covers.
struct TargetProcess {
  uint32_t pid = 0;
  std::optional<std::string> group;    // the key of its group; none when not in the snapshot
  std::optional<uint32_t> rank;        // torch RANK, when well-formed
  std::optional<uint32_t> world_size;  // torch WORLD_SIZE, when well-formed
  std::vector<std::string> command;    // its command line; empty when not in the snapshot
  std::string runtime{};  // "system 3.12 - /usr" (see format_runtime); empty when not known
  bool operator==(const TargetProcess&) const = default;
};

struct RunTarget {
  std::string label;  // names the report folder: a group's label, "pid-N", "all", "selection"
  std::string host;   // the machine the processes run on, as the user knows it
  std::vector<TargetProcess> processes;  // each pid once, in the order first named

  std::vector<uint32_t> pids() const;
  bool operator==(const RunTarget&) const = default;
};

/// The processes `spec` names, each once, in the order first named: `all` gives every member
/// of every group, a group key the group's members, a pid that process (also when the
/// snapshot does not list it: py-spy then says what is wrong). Fails with a one-line reason
/// naming the first group key that no group has.
std::expected<RunTarget, std::string> resolve_target(const std::vector<ProcessGroup>& groups,
                                                     const TargetSpec& spec, std::string host);

/// The name of this machine as its user knows it: the host name, "localhost" when it has none.
std::string local_host_name();

}  // namespace stackpeek::discovery
