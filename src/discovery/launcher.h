#pragma once

// Ranks that launchers other than torch give: a Slurm step's tasks, Open MPI's and MPICH's
// (Hydra, also Intel MPI) ranks and Horovod's, read from the variables each launcher sets.

#include <functional>
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

/// What is known of an ancestor of a rank: its parent and the launcher rank its environment
/// gives.
struct Ancestor {
  std::optional<uint32_t> parent;
  std::optional<JobRank> rank;
};

/// The job of a rank whose launcher names none (job_rank leaves it empty): "pid-N" for the
/// process that started it, the nearest ancestor from `parent` up whose environment gives no
/// rank of `launcher` (Hydra's proxy, past wrapper shells, and past the rank itself for a
/// data loader's worker, which inherits its variables). `ancestor` reads one; none (gone or
/// unreadable) ends the walk at that pid.
std::string launching_job(Launcher launcher, uint32_t parent,
                          const std::function<std::optional<Ancestor>(uint32_t)>& ancestor);

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
