#include "discovery/groups.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <array>
#include <limits>
#include <unordered_map>
#include <unordered_set>

#include "common/text_fit.h"
#include "common/utf8.h"
#include "common/util.h"
#include "discovery/launcher.h"
#include "discovery/python_name.h"
#include "discovery/runtime.h"
#include "discovery/torch.h"

namespace stackpeek::discovery {
namespace {

constexpr size_t kLabelLimit = 48;

// The label as the list shows it: valid UTF-8, cut in its middle to the limit.
std::string short_label(std::string_view full) {
  const std::string text = utf8::is_valid(full) ? std::string(full) : utf8::decode_lossy(full);
  return cut_middle(text, static_cast<int>(kLabelLimit));
}

constexpr size_t kSignatureArguments = 6;

using PidSet = std::unordered_set<uint32_t>;
using Members = std::vector<const ProcessInfo*>;

// Collections keep their keys' first-seen order, so nothing depends on hash order even
// before the final sort.
template <class Key>
struct Buckets {
  std::unordered_map<Key, size_t> index;
  std::vector<std::pair<Key, Members>> entries;

  void add(const Key& key, const ProcessInfo& process) {
    auto [it, inserted] = index.try_emplace(key, entries.size());
    if (inserted) entries.push_back({key, {}});
    entries[it->second].second.push_back(&process);
  }
};

bool by_pid(const ProcessInfo* a, const ProcessInfo* b) { return a->pid < b->pid; }

bool by_rank_then_pid(const ProcessInfo* a, const ProcessInfo* b) {
  constexpr uint32_t kNoRank = std::numeric_limits<uint32_t>::max();
  const uint32_t rank_a = rank_numbers(*a).rank.value_or(kNoRank);
  const uint32_t rank_b = rank_numbers(*b).rank.value_or(kNoRank);
  return rank_a != rank_b ? rank_a < rank_b : a->pid < b->pid;
}

ProcessGroup make_group(std::string key, GroupKind kind, const Members& members, PidSet& assigned) {
  ProcessGroup group;
  group.key = std::move(key);
  group.kind = kind;
  for (const ProcessInfo* member : members) {
    group.members.push_back(*member);
    assigned.insert(member->pid);
  }
  return group;
}

std::string torch_key(const TorchInfo& torch) {
  return "torch:" + torch.master_addr.value_or("unknown-master") + ":" +
         torch.master_port.value_or("unknown-port") + ":world" + *torch.world_size;
}

GroupKind launcher_kind(Launcher launcher) {
  switch (launcher) {
    case Launcher::Slurm:
      return GroupKind::Srun;
    case Launcher::OpenMpi:
      return GroupKind::OpenMpi;
    case Launcher::Mpich:
      return GroupKind::Mpich;
    case Launcher::Horovod:
      return GroupKind::Horovod;
  }
  return GroupKind::Srun;
}

// Torch's job, or the launcher's job with its kind; none for a process of no job.
std::optional<std::pair<std::string, GroupKind>> job_of(const ProcessInfo& process) {
  if (process.torch.world_size)
    return std::pair{"torch:" + torch_key(process.torch), GroupKind::TorchDdp};
  if (!process.job_rank) return std::nullopt;
  const JobRank& job = *process.job_rank;
  return std::pair{fmt::format("{}:{}", launcher_label(job.launcher), job.job),
                   launcher_kind(job.launcher)};
}

// Ranks of one job (a rank's workers, which inherit its variables, among them) are one
// group once it has two processes.
void add_job_groups(const std::vector<ProcessInfo>& processes, PidSet& assigned,
                    std::vector<ProcessGroup>& groups) {
  Buckets<std::string> jobs;
  for (const auto& process : processes) {
    if (auto job = job_of(process)) jobs.add(job->first, process);
  }
  for (auto& [key, members] : jobs.entries) {
    if (members.size() < 2) continue;
    const GroupKind kind = job_of(*members.front())->second;
    std::sort(members.begin(), members.end(), by_rank_then_pid);
    groups.push_back(make_group(key, kind, members, assigned));
  }
}

// Walks up through Python parents; stops at a process without parent, a parent outside
// the snapshot, or a loop in the parent chain.
uint32_t tree_root(const ProcessInfo& start,
                   const std::unordered_map<uint32_t, const ProcessInfo*>& by_pid_index) {
  const ProcessInfo* current = &start;
  PidSet visited;
  while (current->parent_pid && visited.insert(current->pid).second) {
    const auto parent = by_pid_index.find(*current->parent_pid);
    if (parent == by_pid_index.end()) break;
    current = parent->second;
  }
  return current->pid;
}

void add_tree_groups(const std::vector<ProcessInfo>& processes, PidSet& assigned,
                     std::vector<ProcessGroup>& groups) {
  std::unordered_map<uint32_t, const ProcessInfo*> index;
  for (const auto& process : processes) index.emplace(process.pid, &process);
  Buckets<uint32_t> trees;
  for (const auto& process : processes) {
    if (!assigned.contains(process.pid)) trees.add(tree_root(process, index), process);
  }
  for (auto& [root, members] : trees.entries) {
    if (members.size() < 2) continue;
    std::sort(members.begin(), members.end(), by_pid);
    groups.push_back(
        make_group(fmt::format("tree:{}", root), GroupKind::ProcessTree, members, assigned));
  }
}

std::string runtime_key(const ProcessInfo& process) {
  return format_path_or_reason(process.runtime.root) + ":" + format_path_or_reason(process.cwd) +
         ":" + command_signature(process.cmd);
}

void add_runtime_groups(const std::vector<ProcessInfo>& processes, PidSet& assigned,
                        std::vector<ProcessGroup>& groups) {
  Buckets<std::string> runtimes;
  for (const auto& process : processes) {
    if (!assigned.contains(process.pid)) runtimes.add(runtime_key(process), process);
  }
  for (auto& [key, members] : runtimes.entries) {
    std::sort(members.begin(), members.end(), by_pid);
    const GroupKind kind = members.size() >= 2 ? GroupKind::Runtime : GroupKind::Process;
    groups.push_back(make_group("runtime:" + key, kind, members, assigned));
  }
}

void describe_group(ProcessGroup& group) {
  group.full_label = full_group_label(group.members);
  group.label = short_label(group.full_label);
  if (group.members.empty()) {
    group.runtime_text = group.cwd_text = "unknown";
    return;
  }
  group.runtime_text = format_runtime(group.members.front().runtime);
  group.cwd_text = format_path_or_reason(group.members.front().cwd);
}

}  // namespace

std::string_view group_kind_label(GroupKind kind) {
  static constexpr std::array<std::string_view, 8> kLabels = {
      "torch/ddp", "srun", "openmpi", "mpich", "horovod", "process tree", "runtime", "process"};
  return kLabels[static_cast<size_t>(kind)];
}

bool is_rank_group(GroupKind kind) {
  return kind != GroupKind::ProcessTree && kind != GroupKind::Runtime && kind != GroupKind::Process;
}

std::vector<ProcessGroup> build_groups(const std::vector<ProcessInfo>& processes) {
  PidSet assigned;
  std::vector<ProcessGroup> groups;
  add_job_groups(processes, assigned, groups);
  add_tree_groups(processes, assigned, groups);
  add_runtime_groups(processes, assigned, groups);
  for (auto& group : groups) describe_group(group);
  // Keys are unique, so label-then-key is a total order; std::string compares bytes as
  // unsigned, which is UTF-8 code point order.
  std::sort(groups.begin(), groups.end(), [](const ProcessGroup& a, const ProcessGroup& b) {
    return a.label != b.label ? a.label < b.label : a.key < b.key;
  });
  return groups;
}

bool is_launcher_token(std::string_view argument) {
  const std::string lower = ascii_lower(argument);
  return lower == "uv" || lower == "run" || is_python_name(lower) || lower.ends_with("/python") ||
         lower.find("/python3") != std::string::npos || lower.ends_with("\\python.exe");
}

std::string command_signature(const std::vector<std::string>& cmd) {
  std::vector<std::string> kept;
  for (const auto& argument : cmd) {
    if (kept.size() == kSignatureArguments) break;
    if (!is_launcher_token(argument) && !is_rank_argument(argument)) kept.push_back(argument);
  }
  return kept.empty() ? "unknown-command" : fmt::format("{}", fmt::join(kept, " "));
}

std::string full_group_label(const std::vector<ProcessInfo>& members) {
  if (members.empty()) return "empty group";
  const ProcessInfo& first = members.front();
  std::string text = command_signature(first.cmd);
  const bool torch_like =
      is_torch_launcher(first.cmd) || first.torch.has_rank_info() || first.job_rank;
  if (!torch_like && text == "unknown-command") text = first.name;
  return text;
}

std::string group_label(const std::vector<ProcessInfo>& members) {
  return short_label(full_group_label(members));
}

}  // namespace stackpeek::discovery
