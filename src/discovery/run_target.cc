#include "discovery/run_target.h"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <limits>
#include <unordered_set>

#include "common/util.h"
#include "discovery/environ_values.h"
#include "discovery/launcher.h"
#include "discovery/python_name.h"
#include "discovery/runtime.h"

namespace stackpeek::discovery {
namespace {

std::optional<uint32_t> parse_u32(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  const auto value = parse_unsigned(*text, std::numeric_limits<uint32_t>::max());
  if (!value) return std::nullopt;
  return static_cast<uint32_t>(*value);
}

TargetProcess target_process(const ProcessInfo& info, const std::string& group) {
  const RankNumbers numbers = rank_numbers(info);
  return {.pid = info.pid,
          .group = group,
          .rank = numbers.rank,
          .world_size = numbers.world_size,
          .command = info.cmd,
          .runtime = format_runtime(info.runtime)};
}

class TargetList {
 public:
  explicit TargetList(const std::vector<ProcessGroup>& groups) : groups_(groups) {}

  void add_group(const ProcessGroup& group) {
    for (const auto& member : group.members) add_pid(member.pid);
  }

  void add_pid(uint32_t pid) {
    if (!seen_.insert(pid).second) return;
    for (const ProcessGroup& group : groups_) {
      const auto it = std::ranges::find(group.members, pid, &ProcessInfo::pid);
      if (it != group.members.end()) {
        out_.push_back(target_process(*it, group.key));
        return;
      }
    }
    out_.push_back({pid, std::nullopt, std::nullopt, std::nullopt, {}, {}});
  }

  std::vector<TargetProcess> take() {
    std::unordered_set<std::string_view> jobs;
    for (const TargetProcess& process : out_) {
      if (process.world_size && process.group) jobs.insert(*process.group);
    }
    if (jobs.size() == 1) mark_whole_job(*jobs.begin());
    return std::move(out_);
  }

 private:
  // Marks the members of the one job targeted when every process of its group is.
  void mark_whole_job(std::string_view key) {
    const auto group = std::ranges::find(groups_, key, &ProcessGroup::key);
    if (group == groups_.end() ||
        !std::ranges::all_of(group->members, [&](const ProcessInfo& member) {
          return seen_.contains(member.pid);
        })) {
      return;
    }
    for (TargetProcess& process : out_) process.whole_job = process.group == key;
  }

  const std::vector<ProcessGroup>& groups_;
  std::unordered_set<uint32_t> seen_;
  std::vector<TargetProcess> out_;
};

// The group of `key`: its exact key first, else the key as the headless commands print it.
std::vector<ProcessGroup>::const_iterator find_group(const std::vector<ProcessGroup>& groups,
                                                     const std::string& key) {
  const auto exact = std::ranges::find(groups, key, &ProcessGroup::key);
  if (exact != groups.end()) return exact;
  return std::ranges::find_if(
      groups, [&](const ProcessGroup& group) { return escape_controls(group.key) == key; });
}

std::string target_label(const std::vector<ProcessGroup>& groups, const TargetRequest& request,
                         std::optional<uint32_t> job) {
  const size_t named = request.pids.size() + request.groups.size() + (request.all ? 1 : 0) +
                       (request.slurm_job ? 1 : 0);
  if (named != 1) return "selection";
  if (request.all) return "all";
  if (job) return fmt::format("slurm-job-{}", *job);
  if (!request.pids.empty()) return fmt::format("pid-{}", request.pids.front());
  const auto it = find_group(groups, request.groups.front());
  return it == groups.end() ? request.groups.front() : it->label;
}

std::expected<uint32_t, std::string> job_id(const SlurmJobRequest& request, const SlurmInfo& own) {
  if (request.id) return *request.id;
  if (!own.job_id) {
    return std::unexpected(
        std::string("--slurm-job needs a job id outside a job (SLURM_JOB_ID is not set)"));
  }
  const auto id = parse_u32(own.job_id);
  if (!id) return std::unexpected("SLURM_JOB_ID is not a job id: '" + *own.job_id + "'");
  return *id;
}

bool in_job(const ProcessInfo& info, uint32_t job, const SlurmInfo& own) {
  if (parse_u32(info.slurm.job_id) != job) return false;
  return !own.node_name || !info.slurm.node_name || *info.slurm.node_name == *own.node_name;
}

// The job's Python interpreters; `notes` gets the launchers left out, or that there is none.
void add_job(TargetList& list, const std::vector<ProcessGroup>& groups, uint32_t job,
             const SlurmInfo& own, std::vector<std::string>& notes) {
  bool any = false;
  for (const ProcessGroup& group : groups) {
    for (const ProcessInfo& member : group.members) {
      if (!in_job(member, job, own)) continue;
      if (!is_python_interpreter(member.name, member.exe)) {
        notes.push_back(
            fmt::format("skipped pid {} ({}): not a Python interpreter", member.pid, member.name));
        continue;
      }
      list.add_pid(member.pid);
      any = true;
    }
  }
  if (!any) {
    notes.push_back(own.node_name ? fmt::format("Slurm job {} has no Python processes on {}", job,
                                                *own.node_name)
                                  : fmt::format("Slurm job {} has no Python processes here", job));
  }
}

}  // namespace

std::optional<std::vector<uint32_t>> request_pids(const TargetRequest& request) {
  if (request.pids.empty() || !request.groups.empty() || request.all || request.slurm_job) {
    return std::nullopt;
  }
  std::vector<uint32_t> pids;
  std::unordered_set<uint32_t> seen;
  for (const uint32_t pid : request.pids) {
    if (seen.insert(pid).second) pids.push_back(pid);
  }
  return pids;
}

std::vector<uint32_t> RunTarget::pids() const {
  std::vector<uint32_t> out;
  out.reserve(processes.size());
  for (const auto& process : processes) out.push_back(process.pid);
  return out;
}

std::expected<RunTarget, std::string> resolve_target(const std::vector<ProcessGroup>& groups,
                                                     const TargetRequest& request, std::string host,
                                                     const SlurmInfo& own) {
  TargetList list(groups);
  std::vector<std::string> notes;
  if (request.all) {
    for (const ProcessGroup& group : groups) list.add_group(group);
  }
  for (const std::string& key : request.groups) {
    const auto it = find_group(groups, key);
    if (it == groups.end()) {
      return std::unexpected("no group has the key '" + key + "' (see `stackpeek list`)");
    }
    list.add_group(*it);
  }
  std::optional<uint32_t> job;
  if (request.slurm_job) {
    auto id = job_id(*request.slurm_job, own);
    if (!id) return std::unexpected(id.error());
    job = *id;
    add_job(list, groups, *job, own, notes);
  }
  for (const uint32_t pid : request.pids) list.add_pid(pid);
  return RunTarget{target_label(groups, request, job), std::move(host), list.take(),
                   std::move(notes)};
}

std::expected<RunTarget, std::string> resolve_target(const std::vector<ProcessGroup>& groups,
                                                     const TargetRequest& request,
                                                     std::string host) {
  return resolve_target(groups, request, std::move(host), own_slurm_info());
}

std::string local_host_name() {
  if (auto node = own_slurm_info().node_name; node && !node->empty()) return std::move(*node);
  std::array<char, 256> name{};
  if (gethostname(name.data(), name.size() - 1) != 0 || name[0] == '\0') return "localhost";
  return name.data();
}

}  // namespace stackpeek::discovery
