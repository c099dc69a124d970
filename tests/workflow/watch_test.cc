#include "workflow/watch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "workflow/watch_text.h"

namespace stackpeek::workflow {
namespace {

using std::chrono::seconds;

RunRecord dumped(const std::string& function) {
  RunRecord record;
  record.status = RunStatus::Success;
  record.exit_code = 0;
  record.stdout_text =
      "Process 1: python3 train.py\nPython v3.11.2 (/usr/bin/python3)\n\n"
      "Thread 1 (idle): \"MainThread\"\n    " +
      function + " (train.py:5)\n    <module> (train.py:9)\n";
  return record;
}

RunRecord failed() {
  RunRecord record;
  record.status = RunStatus::Failure;
  record.exit_code = 1;
  record.stderr_text = "Error: Failed to find python version from target process\n";
  return record;
}

discovery::ProcessInfo member(uint32_t pid) {
  discovery::ProcessInfo info;
  info.pid = pid;
  return info;
}

// A torch job of `pids` (ranks in order) and the target naming it.
struct Job {
  std::vector<discovery::ProcessGroup> groups;
  discovery::RunTarget target;
};

Job torch_job(const std::vector<uint32_t>& pids) {
  Job job;
  discovery::ProcessGroup group{"torch:job", "train.py", "",
                                "",          {},         discovery::GroupKind::TorchDdp};
  for (uint32_t rank = 0; rank < pids.size(); ++rank) {
    group.members.push_back(member(pids[rank]));
    job.target.processes.push_back({pids[rank], "torch:job", rank, 4, {"python3", "train.py"}});
  }
  job.groups.push_back(group);
  return job;
}

class WatchTest : public ::testing::Test {
 protected:
  std::vector<WatchEvent> round(const Job& job, const std::vector<RunRecord>& records) {
    now_ += seconds(10);
    return watch_.observe_round(job.groups, job.target, records, now_, WallClock::now());
  }
  static std::vector<WatchEventKind> kinds(const std::vector<WatchEvent>& events) {
    std::vector<WatchEventKind> out;
    for (const auto& event : events) out.push_back(event.kind);
    return out;
  }

  Watch watch_{seconds(20)};
  Watch::Clock::time_point now_{};
};

TEST_F(WatchTest, StuckOncePerEpisodeNamingTheOddRank) {
  const Job job = torch_job({100, 101, 102, 103});
  const std::vector<RunRecord> hung = {dumped("all_reduce"), dumped("all_reduce"),
                                       dumped("all_reduce"), dumped("load_batch")};
  using enum WatchEventKind;
  EXPECT_EQ(kinds(round(job, hung)), (std::vector{Started}));
  EXPECT_TRUE(round(job, hung).empty());  // unchanged for 10 s
  const auto stuck = round(job, hung);    // 20 s
  ASSERT_EQ(kinds(stuck), (std::vector{Stuck}));
  EXPECT_EQ(stuck[0].unit, "torch:job");
  EXPECT_EQ(stuck[0].unchanged, seconds(20));
  EXPECT_EQ(stuck[0].detail, "rank 3 in load_batch (train.py:5)");
  EXPECT_NE(watch_event_text(stuck[0]).find(
                "stuck: train.py [torch/ddp] ranks 0-3 unchanged for 20 s; rank 3 in load_batch"),
            std::string::npos);
  WatchEvent hostile = stuck[0];
  hostile.label = "-c 'x\ny' \x1b]0;title\x07";
  EXPECT_NE(watch_event_text(hostile).find("-c 'x\\ny' \\x1b]0;title\\x07"), std::string::npos);
  const auto evidence = watch_.evidence("torch:job");
  ASSERT_TRUE(evidence);
  EXPECT_EQ(evidence->name, "train.py");
  EXPECT_TRUE(std::ranges::any_of(evidence->compare_lines, [](const std::string& line) {
    return line.ends_with("(pids 100 101 102), unchanged for 20 s");
  }));
  EXPECT_NE(evidence->history.find("rank 3 (pid 103): 1 distinct stack(s)"), std::string::npos);
  EXPECT_TRUE(round(job, hung).empty());  // same episode

  std::vector<RunRecord> moved = hung;
  moved[3] = dumped("forward");
  EXPECT_EQ(kinds(round(job, moved)), (std::vector{Recovered}));
  EXPECT_NE(watch_.evidence("torch:job")->history.find("rank 3 (pid 103): 2 distinct"),
            std::string::npos);
  round(job, moved);
  EXPECT_EQ(kinds(round(job, moved)), (std::vector{Stuck}));  // a new episode
}

TEST_F(WatchTest, FailingLostAndEnded) {
  Job job = torch_job({200, 201, 202});
  using enum WatchEventKind;
  round(job, {dumped("step"), dumped("step"), dumped("step")});
  const auto failing = round(job, {dumped("step"), failed(), dumped("step")});
  ASSERT_EQ(kinds(failing), (std::vector{Failing}));
  EXPECT_EQ(failing[0].members[0].pid, 201u);
  EXPECT_EQ(failing[0].detail, "Error: Failed to find python version from target process");
  EXPECT_TRUE(round(job, {dumped("step"), failed(), dumped("step")}).empty());  // still failing
  // A failed dump is neither unchanged nor moved: the group is not stuck.
  EXPECT_FALSE(watch_.unchanged("torch:job"));

  job.target.processes.erase(job.target.processes.begin() + 1);
  const auto lost = round(job, {dumped("next"), dumped("next")});
  ASSERT_EQ(kinds(lost), (std::vector{Lost}));
  EXPECT_EQ(lost[0].members[0].pid, 201u);
  EXPECT_EQ(lost[0].remaining, 2u);

  job.target.processes.clear();
  const auto ended = round(job, {});
  ASSERT_EQ(kinds(ended), (std::vector{Ended}));
  EXPECT_EQ(ended[0].members.size(), 2u);
  EXPECT_FALSE(watch_.evidence("torch:job"));
}

TEST_F(WatchTest, ProcessesOutsideATorchGroupAreWatchedAlone) {
  discovery::RunTarget target;
  target.processes = {{300, "runtime:x", std::nullopt, std::nullopt, {}},
                      {301, "runtime:x", std::nullopt, std::nullopt, {}}};
  const std::vector<discovery::ProcessGroup> groups = {{"runtime:x",
                                                        "worker.py",
                                                        "",
                                                        "",
                                                        {member(300), member(301)},
                                                        discovery::GroupKind::Runtime}};
  const auto events =
      watch_.observe_round(groups, target, {dumped("a"), dumped("b")}, now_, WallClock::now());
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].unit, "pid-300");
  EXPECT_EQ(events[1].unit, "pid-301");
  EXPECT_EQ(events[1].group, "runtime:x");
}

}  // namespace
}  // namespace stackpeek::workflow
