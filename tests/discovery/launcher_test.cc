#include "discovery/launcher.h"

#include <gtest/gtest.h>

#include <map>

#include "discovery/environ_values.h"

namespace stackpeek::discovery {
namespace {

using namespace std::string_literals;

// The rank an environment block gives, as the scan reads it.
std::optional<JobRank> rank_of(const std::string& environ) {
  const EnvironValues values = environ_values(environ);
  return job_rank(values.torch, values.slurm, values.launcher);
}

// As mpirun.openmpi (4.1) and srun (22.05) set them for rank 2 of 4.
const std::string kOpenMpi =
    "OMPI_COMM_WORLD_RANK=2\0OMPI_COMM_WORLD_SIZE=4\0OMPI_COMM_WORLD_LOCAL_RANK=2\0"
    "OMPI_MCA_ess_base_jobid=1190592513\0PMIX_NAMESPACE=1190592513\0PMIX_RANK=2\0"s;
const std::string kSrunStep0 =
    "SLURM_JOB_ID=42\0SLURM_STEP_ID=0\0SLURM_PROCID=2\0SLURM_NTASKS=4\0SLURM_LOCALID=0\0"s;

TEST(JobRankTest, EachLauncherNamesItsJobAndNumbers) {
  EXPECT_EQ(rank_of(kOpenMpi), (JobRank{Launcher::OpenMpi, "1190592513", 2, 4, 2}));
  EXPECT_EQ(rank_of(kSrunStep0), (JobRank{Launcher::Slurm, "42.0", 2, 4, 0}));
  EXPECT_EQ(rank_of("PMI_RANK=1\0PMI_SIZE=4\0MPI_LOCALRANKID=1\0PMI_FD=6\0"s),
            (JobRank{Launcher::Mpich, "", 1, 4, 1}));
  EXPECT_EQ(rank_of("HOROVOD_RANK=5\0HOROVOD_SIZE=8\0HOROVOD_LOCAL_RANK=1\0"
                    "HOROVOD_GLOO_RENDEZVOUS_ADDR=10.0.0.1\0HOROVOD_GLOO_RENDEZVOUS_PORT=4000\0"s),
            (JobRank{Launcher::Horovod, "10.0.0.1:4000", 5, 8, 1}));
  // A batch script's own processes (no step) and a rank that is not a number have none.
  EXPECT_EQ(rank_of("SLURM_JOB_ID=42\0SLURM_PROCID=0\0SLURM_NTASKS=4\0"s), std::nullopt);
  EXPECT_EQ(rank_of("OMPI_COMM_WORLD_RANK=x\0OMPI_COMM_WORLD_SIZE=4\0"s), std::nullopt);
}

TEST(JobRankTest, InnermostLauncherWinsAndTorchOverAll) {
  // torchrun inside a Slurm step: torch's RANK, not the task number.
  EXPECT_EQ(rank_of(kSrunStep0 + "RANK=5\0WORLD_SIZE=8\0"s), std::nullopt);
  // mpirun inside a Slurm allocation: its daemons' task numbers are not the ranks.
  EXPECT_EQ(rank_of(kSrunStep0 + kOpenMpi)->launcher, Launcher::OpenMpi);
  EXPECT_EQ(rank_of(kSrunStep0 + "PMI_RANK=3\0PMI_SIZE=8\0"s)->launcher, Launcher::Mpich);
  // srun's own PMI repeats the step's numbers: still the Slurm step.
  EXPECT_EQ(rank_of(kSrunStep0 + "PMI_RANK=2\0PMI_SIZE=4\0"s)->launcher, Launcher::Slurm);
  EXPECT_EQ(rank_of(kOpenMpi + "HOROVOD_RANK=2\0HOROVOD_SIZE=4\0"s)->launcher, Launcher::Horovod);
}

TEST(JobRankTest, UnnamedJobIsTheProcessThatStartedItsRanks) {
  // Hydra's proxy 500 starts rank 0 directly and rank 1 through a shell (510); rank 0 has a
  // data-loader worker (503). Pid 600 is gone.
  const auto mpich = [](uint32_t rank) { return JobRank{Launcher::Mpich, "", rank, 4, rank}; };
  const std::map<uint32_t, Ancestor> tree = {
      {500, {1, std::nullopt}},
      {501, {500, mpich(0)}},
      {510, {500, mpich(1)}},
      {520, {500, JobRank{Launcher::OpenMpi, "7", 0, 4, 0}}}};
  const auto ancestor = [&](uint32_t pid) -> std::optional<Ancestor> {
    const auto it = tree.find(pid);
    return it == tree.end() ? std::nullopt : std::optional(it->second);
  };
  EXPECT_EQ(launching_job(Launcher::Mpich, 500, ancestor), "pid-500");
  EXPECT_EQ(launching_job(Launcher::Mpich, 510, ancestor), "pid-500");
  EXPECT_EQ(launching_job(Launcher::Mpich, 501, ancestor), "pid-500");
  EXPECT_EQ(launching_job(Launcher::Mpich, 520, ancestor), "pid-520");
  EXPECT_EQ(launching_job(Launcher::Mpich, 600, ancestor), "pid-600");
  const JobRank named{Launcher::Mpich, "pid-500", 1, 4, 1};
  EXPECT_EQ(job_text(named), "MPICH job of pid 500");
  ProcessInfo worker;
  worker.job_rank = named;
  EXPECT_EQ(rank_text(worker), "rank 1/4 local 1");
}

}  // namespace
}  // namespace stackpeek::discovery
