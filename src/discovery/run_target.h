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

/// The Python interpreters of one Slurm job on this node.
struct SlurmJobRequest {
  std::optional<uint32_t> id;  // none: the job of stackpeek's own environment
  bool operator==(const SlurmJobRequest&) const = default;
};

/// Which processes a run covers, as named: pids, group keys, every group, or a Slurm job.
struct TargetRequest {
  std::vector<uint32_t> pids;
  std::vector<std::string> groups;
  bool all = false;
  std::optional<SlurmJobRequest> slurm_job;
  bool empty() const { return pids.empty() && groups.empty() && !all && !slurm_job; }
  bool operator==(const TargetRequest&) const = default;
};

/// The pids a request of pids alone targets, in the order resolve_target gives them, known
/// without a snapshot; none when the request names groups, every process or a job.
std::optional<std::vector<uint32_t>> request_pids(const TargetRequest& request);

/// One process a run covers.
struct TargetProcess {
  uint32_t pid = 0;
  std::optional<std::string> group;    // the key of its group; none when not in the snapshot
  std::optional<uint32_t> rank;        // torch RANK, else its launcher's, when well-formed
  std::optional<uint32_t> world_size;  // torch WORLD_SIZE, else its launcher's
  std::vector<std::string> command;    // its command line; empty when not in the snapshot
  std::string runtime{};  // "system 3.12 - /usr" (see format_runtime); empty when not known
  /// Its group is the only job of the run and every process of it is targeted, so the ranks
  /// of its world that none of them has are missing; a rank targeted alone leaves the others
  /// unasked, and ranks of two jobs say nothing of each other.
  bool whole_job = false;

  /// The world size whose absent ranks count as missing: world_size for a whole job.
  std::optional<uint32_t> missing_world() const { return whole_job ? world_size : std::nullopt; }
  bool operator==(const TargetProcess&) const = default;
};

struct RunTarget {
  std::string label;  // names the report folder: a group's label, "pid-N", "all", "selection"
  std::string host;   // the machine the processes run on, as the user knows it
  std::vector<TargetProcess> processes;  // each pid once, in the order first named
  std::vector<std::string> notes = {};   // one line for each process left out, and why

  std::vector<uint32_t> pids() const;
  bool operator==(const RunTarget&) const = default;
};

/// The processes `request` names, each once, in the order first named: `all` gives every member
/// of every group, a group key (exact, or as escape_controls prints it) the group's
/// members, a pid that process (also when the
/// snapshot does not list it: py-spy then says what is wrong).
///
/// A Slurm job gives the members whose SLURM_JOB_ID is the job's id (by default `own`'s)
/// and, when `own` names a node, whose SLURMD_NODENAME is that node or unset: several slurmd
/// on one machine do not see each other's tasks. Of those, a launcher that only names Python
/// in its arguments is left out with a note, and a job with none leaves a note too.
///
/// Fails with a one-line reason naming the first group key that no group has, or saying that
/// a job was asked for without an id outside any job.
std::expected<RunTarget, std::string> resolve_target(const std::vector<ProcessGroup>& groups,
                                                     const TargetRequest& request, std::string host,
                                                     const SlurmInfo& own);

/// The same, for stackpeek's own environment.
std::expected<RunTarget, std::string> resolve_target(const std::vector<ProcessGroup>& groups,
                                                     const TargetRequest& request,
                                                     std::string host);

/// The name of this machine as its user knows it: the Slurm node stackpeek runs on as a task
/// of a job (SLURMD_NODENAME, as `squeue` shows it), otherwise the host name, "localhost"
/// when it has none.
std::string local_host_name();

}  // namespace stackpeek::discovery
