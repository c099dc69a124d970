#include "discovery/groups.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <array>
#include <unordered_map>
#include <unordered_set>

#include "common/utf8.h"
#include "common/util.h"
#include "discovery/python_name.h"
#include "discovery/runtime.h"
#include "discovery/torch.h"

namespace stackpeek::discovery {
namespace {

constexpr size_t kLabelLimit = 48;
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
  const uint32_t rank_a = parse_rank(a->torch.rank), rank_b = parse_rank(b->torch.rank);
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

void add_torch_groups(const std::vector<ProcessInfo>& processes, PidSet& assigned,
                      std::vector<ProcessGroup>& groups) {
  Buckets<std::string> jobs;
  for (const auto& process : processes) {
    if (process.torch.world_size) jobs.add(torch_key(process.torch), process);
  }
  for (auto& [key, members] : jobs.entries) {
    if (members.size() < 2) continue;
    std::sort(members.begin(), members.end(), by_rank_then_pid);
    groups.push_back(make_group("torch:" + key, GroupKind::TorchDdp, members, assigned));
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
  group.label = truncate_middle(group.full_label, kLabelLimit);
  if (group.members.empty()) {
    group.runtime_text = group.cwd_text = "unknown";
    return;
  }
  group.runtime_text = format_runtime(group.members.front().runtime);
  group.cwd_text = format_path_or_reason(group.members.front().cwd);
}

}  // namespace

std::string_view group_kind_label(GroupKind kind) {
  static constexpr std::array<std::string_view, 4> kLabels = {"torch/ddp", "process tree",
                                                              "runtime", "process"};
  return kLabels[static_cast<size_t>(kind)];
}

std::vector<ProcessGroup> build_groups(const std::vector<ProcessInfo>& processes) {
  PidSet assigned;
  std::vector<ProcessGroup> groups;
  add_torch_groups(processes, assigned, groups);
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
  const bool torch_like = is_torch_launcher(first.cmd) || first.torch.has_rank_info();
  if (!torch_like && text == "unknown-command") text = first.name;
  return text;
}

std::string group_label(const std::vector<ProcessInfo>& members) {
  return truncate_middle(full_group_label(members), kLabelLimit);
}

std::string truncate_middle(std::string_view text, size_t max) {
  if (!utf8::is_valid(text)) return truncate_middle(utf8::decode_lossy(text), max);
  const size_t count = utf8::char_count(text);
  if (count <= max) return std::string(text);
  if (max == 0) return {};
  const size_t head = (max - 1) / 2;
  const size_t tail = max - 1 - head;
  const std::string_view head_text = text.substr(0, utf8::byte_offset(text, head));
  const std::string_view tail_text = text.substr(utf8::byte_offset(text, count - tail));
  return std::string(head_text) + std::string(kEllipsis) + std::string(tail_text);
}

}  // namespace stackpeek::discovery
