#pragma once

// Ranks that launchers other than torch give: a Slurm step's tasks, Open MPI's and MPICH's
// (Hydra, also Intel MPI) ranks and Horovod's, read from the variables each launcher sets.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "discovery/process_info.h"

namespace stackpeek::discovery {

/// The rank a launcher gave the process, the innermost launcher first: Horovod's, Open MPI's,
/// MPICH's (unless they only repeat the Slurm step's own numbers), then a Slurm step's task
/// number. None when torch's variables give a rank (they win), or no launcher's rank is a
/// number. A Slurm task needs SLURM_JOB_ID and SLURM_STEP_ID: two steps are two jobs.
std::optional<JobRank> job_rank(const TorchInfo& torch, const SlurmInfo& slurm,
                                const LauncherVars& vars);

/// Names the job of every rank whose launcher names none by the launching process: the
/// parent of the rank's outermost ancestor in `processes` with a rank of the same
/// launcher, so a data loader's workers, which inherit their rank's variables, stay in it.
void name_unnamed_jobs(std::vector<ProcessInfo>& processes);

/// "srun", "openmpi", "mpich" or "horovod".
std::string_view launcher_label(Launcher launcher);

/// The launcher and its job, as the Details pane shows them: "Slurm step 42.0",
/// "Open MPI job 1190592513", "MPICH job of pid 812", "Horovod rendezvous 10.0.0.1:4000".
std::string job_text(const JobRank& job);

/// A process's rank, world size and local rank: torch's when it has any, else its launcher's.
struct RankNumbers {
  std::optional<uint32_t> rank;
  std::optional<uint32_t> world_size;
  std::optional<uint32_t> local_rank;
};
RankNumbers rank_numbers(const ProcessInfo& process);

/// "rank R/W local L" (absent values as "?") for a process with a rank; none otherwise.
std::optional<std::string> rank_text(const ProcessInfo& process);

}  // namespace stackpeek::discovery
