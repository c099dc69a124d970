#include "discovery/run_target.h"

#include <gtest/gtest.h>

namespace stackpeek::discovery {
namespace {

ProcessInfo task(uint32_t pid, std::optional<std::string> job, std::optional<std::string> node,
                 std::string name = "python3", std::string exe = "/usr/bin/python3.11") {
  ProcessInfo info;
  info.pid = pid;
  info.name = std::move(name);
  info.exe = PathOrMessage::path(std::move(exe));
  info.slurm = {std::move(job), std::move(node)};
  return info;
}

// One machine running two slurmd (n1, n2) with tasks of jobs 42 and 7, the batch script's
// srun of job 42, and a Python process outside any job.
std::vector<ProcessGroup> machine() {
  ProcessGroup group;
  group.key = "tree:1";
  group.members = {task(10, "42", "n1"),
                   task(11, "42", "n2"),
                   task(12, "7", "n1"),
                   task(13, std::nullopt, std::nullopt),
                   task(14, "42", "n1", "srun", "/usr/bin/srun"),
                   task(15, "42", std::nullopt),
                   task(16, "42", "n1", "python3", "/gone")};
  group.members.back().exe = PathOrMessage::message(kExeUnreadable);
  return {group};
}

RunTarget job_target(std::optional<uint32_t> id, const SlurmInfo& own) {
  TargetRequest request;
  request.slurm_job = SlurmJobRequest{id};
  auto target = resolve_target(machine(), request, "h", own);
  EXPECT_TRUE(target) << target.error();
  return target.value_or(RunTarget{});
}

using Pids = std::vector<uint32_t>;

TEST(SlurmJobTargetTest, OwnNodeKeepsItsTasksAndThoseWithoutANode) {
  const RunTarget target = job_target(std::nullopt, {"42", "n1"});
  EXPECT_EQ(target.pids(), (Pids{10, 15, 16}));
  EXPECT_EQ(target.label, "slurm-job-42");
  EXPECT_EQ(target.notes,
            std::vector<std::string>{"skipped pid 14 (srun): not a Python interpreter"});
}

TEST(SlurmJobTargetTest, NamedJobWithoutANodeTakesEveryTaskOfIt) {
  EXPECT_EQ(job_target(42, {}).pids(), (Pids{10, 11, 15, 16}));
  EXPECT_EQ(job_target(7, {"42", "n1"}).pids(), Pids{12});
}

TEST(SlurmJobTargetTest, NoTaskHereIsANoteAndNoJobIdIsAnError) {
  const RunTarget none = job_target(99, {std::nullopt, "n2"});
  EXPECT_TRUE(none.processes.empty());
  EXPECT_EQ(none.notes, std::vector<std::string>{"Slurm job 99 has no Python processes on n2"});

  TargetRequest request;
  request.slurm_job = SlurmJobRequest{};
  EXPECT_FALSE(resolve_target(machine(), request, "h", SlurmInfo{}));
  EXPECT_FALSE(resolve_target(machine(), request, "h", SlurmInfo{"4x", std::nullopt}));
}

TEST(RunTargetTest, GroupKeyAsPrintedOrExact) {
  ProcessInfo member;
  member.pid = 42;
  const std::vector<ProcessGroup> groups = {
      {"runtime:/srv/a\x1b[2J\nb", "a", "", "", {member}, GroupKind::Process}};
  for (const std::string key : {"runtime:/srv/a\x1b[2J\nb", "runtime:/srv/a\\x1b[2J\\nb"}) {
    const auto target = resolve_target(groups, TargetRequest{{}, {key}, false, {}}, "h");
    ASSERT_TRUE(target) << key;
    EXPECT_EQ(target->pids(), std::vector<uint32_t>{42});
  }
  EXPECT_FALSE(resolve_target(groups, TargetRequest{{}, {"runtime:/srv/a"}, false, {}}, "h"));
}

TEST(RunTargetTest, PidsAloneAreKnownBeforeTheSnapshotInTheOrderResolved) {
  const TargetRequest pids{{7, 3, 7, 1}, {}, false, {}};
  const auto resolved = resolve_target(machine(), pids, "h", SlurmInfo{});
  ASSERT_TRUE(resolved);
  EXPECT_EQ(request_pids(pids), resolved->pids());
  EXPECT_EQ(request_pids(TargetRequest{{7}, {}, true, {}}), std::nullopt);
  EXPECT_EQ(request_pids(TargetRequest{{7}, {"runtime:x"}, false, {}}), std::nullopt);
  EXPECT_EQ(request_pids(TargetRequest{}), std::nullopt);
}

TEST(RunTargetTest, MissingRanksCountOnlyForAWholeGroup) {
  ProcessGroup job, other;
  job.key = "mpich:pid-9";
  other.key = "mpich:pid-19";
  for (uint32_t rank = 0; rank < 3; ++rank) {
    ProcessInfo member;
    member.pid = 10 + rank;
    member.job_rank = JobRank{Launcher::Mpich, "pid-9", rank, 4, rank};
    job.members.push_back(member);
    member.pid += 10;
    other.members.push_back(member);
  }
  const auto one = resolve_target({job}, TargetRequest{{12}, {}, false, {}}, "h");
  ASSERT_TRUE(one);
  EXPECT_EQ(one->processes[0].rank, 2u);
  EXPECT_EQ(one->processes[0].world_size, 4u);
  EXPECT_EQ(one->processes[0].missing_world(), std::nullopt);
  for (const auto& request : {TargetRequest{{}, {"mpich:pid-9"}, false, {}},
                              TargetRequest{{12, 10, 11}, {}, false, {}}}) {
    const auto whole = resolve_target({job}, request, "h");
    ASSERT_TRUE(whole);
    for (const auto& process : whole->processes) EXPECT_EQ(process.missing_world(), 4u);
  }
  // Ranks of two jobs say nothing of each other's missing ranks.
  const auto both = resolve_target({job, other}, TargetRequest{{}, {}, true, {}}, "h");
  ASSERT_TRUE(both);
  for (const auto& process : both->processes) EXPECT_EQ(process.missing_world(), std::nullopt);
}

}  // namespace
}  // namespace stackpeek::discovery
