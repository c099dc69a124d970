#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "discovery/process_info.h"

namespace stackpeek::discovery {

enum class GroupKind { TorchDdp, Srun, OpenMpi, Mpich, Horovod, ProcessTree, Runtime, Process };

/// "torch/ddp", "srun", "openmpi", "mpich", "horovod", "process tree", "runtime" or "process".
std::string_view group_kind_label(GroupKind kind);

/// True for the ranks of one distributed job: torch's or another launcher's.
bool is_rank_group(GroupKind kind);

/// Processes that belong together, with their members in member order.
struct ProcessGroup {
  std::string key;
  std::string label;  // for display: at most 48 characters, cut in the middle
  std::string runtime_text;
  std::string cwd_text;
  std::vector<ProcessInfo> members;
  GroupKind kind = GroupKind::Process;
  std::string full_label = {};  // the label never cut (list --json); empty: `label` is whole
};

/// Partitions a snapshot into torch jobs, other launchers' jobs (one per launcher and job
/// identity, see JobRank), process trees and runtime groups, sorted by label, then key.
/// Every process ends up in exactly one group.
std::vector<ProcessGroup> build_groups(const std::vector<ProcessInfo>& processes);

/// The first six arguments that are neither launcher tokens nor rank options, or
/// "unknown-command".
std::string command_signature(const std::vector<std::string>& cmd);

/// True for arguments that only start the interpreter: "uv", "run", Python interpreter
/// names and paths ("/usr/bin/python3", "C:\\Py\\python.exe"), in any case.
bool is_launcher_token(std::string_view argument);

/// The label of a group with these members, at most 48 characters.
std::string group_label(const std::vector<ProcessInfo>& members);

/// The same label, never cut.
std::string full_group_label(const std::vector<ProcessInfo>& members);

}  // namespace stackpeek::discovery
