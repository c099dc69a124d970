#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "cli/args.h"
#include "discovery/groups.h"

namespace stackpeek::cli {

/// One process a dump or record covers, with what the snapshot knows of it.
struct TargetProcess {
  uint32_t pid = 0;
  std::optional<std::string> group;              // the key of its group
  const discovery::ProcessInfo* info = nullptr;  // nullptr when not in the snapshot
};

/// The processes the targets name, each once, in the order first named: --all gives every
/// member of every group, --group KEY the group's members, --pid PID that process (also
/// when the snapshot does not list it: py-spy then says what is wrong). Fails with a
/// one-line reason naming the first --group KEY that no group has.
std::expected<std::vector<TargetProcess>, std::string> resolve_targets(
    const std::vector<discovery::ProcessGroup>& groups, const Targets& targets);

/// A name for the report folder: the group's label or "pid-N" for a single target,
/// "all" for --all, "selection" otherwise.
std::string targets_label(const std::vector<discovery::ProcessGroup>& groups,
                          const Targets& targets);

/// The torch RANK of the process, when it has a well-formed one.
std::optional<uint32_t> known_rank(const discovery::ProcessInfo* info);

/// The torch WORLD_SIZE of the process, when it has a well-formed one.
std::optional<uint32_t> known_world_size(const discovery::ProcessInfo* info);

}  // namespace stackpeek::cli
