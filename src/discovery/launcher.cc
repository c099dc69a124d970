#include "discovery/launcher.h"

#include <fmt/format.h>

#include <limits>
#include <unordered_set>

#include "common/util.h"

namespace stackpeek::discovery {
namespace {

using Text = std::optional<std::string>;

// Opens the job of a launcher that names none: "pid-812", the launching process.
constexpr std::string_view kLaunchedBy = "pid-";

std::optional<uint32_t> number(const Text& text) {
  if (!text) return std::nullopt;
  const auto value = parse_unsigned(*text, std::numeric_limits<uint32_t>::max());
  if (!value) return std::nullopt;
  return static_cast<uint32_t>(*value);
}

std::optional<JobRank> ranked(Launcher launcher, std::string job, const Text& rank,
                              const Text& world_size, const Text& local_rank) {
  const auto value = number(rank);
  if (!value) return std::nullopt;
  return JobRank{.launcher = launcher,
                 .job = std::move(job),
                 .rank = *value,
                 .world_size = number(world_size),
                 .local_rank = number(local_rank)};
}

std::optional<JobRank> horovod_rank(const LauncherVars& vars) {
  const std::string job =
      vars.gloo_addr && vars.gloo_port ? *vars.gloo_addr + ":" + *vars.gloo_port : "";
  return ranked(Launcher::Horovod, job, vars.horovod_rank, vars.horovod_size,
                vars.horovod_local_rank);
}

std::optional<JobRank> open_mpi_rank(const LauncherVars& vars) {
  // Open MPI 4 names its job in both; Open MPI 5 (prterun) sets only the PMIx namespace.
  const std::string job = vars.pmix_namespace.value_or(vars.ompi_jobid.value_or(""));
  return ranked(Launcher::OpenMpi, job, vars.ompi_rank, vars.ompi_size, vars.ompi_local_rank);
}

// srun's own PMI plugins set PMI_RANK and PMI_SIZE to the task's numbers: that is the Slurm
// step, not an mpiexec inside it.
bool repeats_slurm_step(const LauncherVars& vars) {
  return vars.slurm_step_id && number(vars.pmi_rank) == number(vars.slurm_procid) &&
         number(vars.pmi_size) == number(vars.slurm_ntasks);
}

std::optional<JobRank> slurm_rank(const SlurmInfo& slurm, const LauncherVars& vars) {
  if (!slurm.job_id || !vars.slurm_step_id) return std::nullopt;
  return ranked(Launcher::Slurm, *slurm.job_id + "." + *vars.slurm_step_id, vars.slurm_procid,
                vars.slurm_ntasks, vars.slurm_localid);
}

}  // namespace

std::optional<JobRank> job_rank(const TorchInfo& torch, const SlurmInfo& slurm,
                                const LauncherVars& vars) {
  if (torch.has_rank_info()) return std::nullopt;
  if (auto rank = horovod_rank(vars)) return rank;
  if (auto rank = open_mpi_rank(vars)) return rank;
  if (!repeats_slurm_step(vars)) {
    // Hydra names no job in the ranks' environment: launching_job gives it one.
    if (auto rank = ranked(Launcher::Mpich, "", vars.pmi_rank, vars.pmi_size, vars.mpi_local_rank))
      return rank;
  }
  return slurm_rank(slurm, vars);
}

std::string launching_job(Launcher launcher, uint32_t parent,
                          const std::function<std::optional<Ancestor>(uint32_t)>& ancestor) {
  uint32_t pid = parent;
  std::unordered_set<uint32_t> visited;
  while (visited.insert(pid).second) {
    const auto next = ancestor(pid);
    if (!next || !next->parent || !next->rank || next->rank->launcher != launcher) break;
    pid = *next->parent;
  }
  return fmt::format("{}{}", kLaunchedBy, pid);
}

std::string_view launcher_label(Launcher launcher) {
  switch (launcher) {
    case Launcher::Slurm:
      return "srun";
    case Launcher::OpenMpi:
      return "openmpi";
    case Launcher::Mpich:
      return "mpich";
    case Launcher::Horovod:
      return "horovod";
  }
  return "srun";
}

std::string job_text(const JobRank& job) {
  struct Names {
    std::string_view launcher, job;
  };
  const Names names = job.launcher == Launcher::Slurm     ? Names{"Slurm", "step"}
                      : job.launcher == Launcher::OpenMpi ? Names{"Open MPI", "job"}
                      : job.launcher == Launcher::Mpich   ? Names{"MPICH", "job"}
                                                          : Names{"Horovod", "rendezvous"};
  if (job.job.starts_with(kLaunchedBy)) {
    return fmt::format("{} job of pid {}", names.launcher, job.job.substr(kLaunchedBy.size()));
  }
  return fmt::format("{} {} {}", names.launcher, names.job, job.job);
}

RankNumbers rank_numbers(const ProcessInfo& process) {
  if (process.torch.has_rank_info()) {
    return {number(process.torch.rank), number(process.torch.world_size),
            number(process.torch.local_rank)};
  }
  if (!process.job_rank) return {};
  return {process.job_rank->rank, process.job_rank->world_size, process.job_rank->local_rank};
}

std::optional<std::string> rank_text(const ProcessInfo& process) {
  if (process.torch.has_rank_info()) return process.torch.rank_text();
  if (!process.job_rank) return std::nullopt;
  const auto or_unknown = [](std::optional<uint32_t> value) {
    return value ? std::to_string(*value) : std::string("?");
  };
  const JobRank& job = *process.job_rank;
  return fmt::format("rank {}/{} local {}", job.rank, or_unknown(job.world_size),
                     or_unknown(job.local_rank));
}

}  // namespace stackpeek::discovery
