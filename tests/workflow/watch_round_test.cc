#include "workflow/watch_round.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace stackpeek::workflow {
namespace {

using namespace std::chrono_literals;

// A pid that no process holds any more: a child that has exited and been reaped.
uint32_t exited_pid() {
  const pid_t child = fork();
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  return static_cast<uint32_t>(child);
}

TEST(WatchRoundsTest, AFailedDumpOfAnExitedProcessLeavesTheRoundAndALiveOneIsFailing) {
  const uint32_t alive = static_cast<uint32_t>(getpid());
  const uint32_t gone = exited_pid();
  WatchRounds rounds({.stuck_after = 300s,
                      .host = "node1",
                      .compare_host = {},
                      .evidence_parent = "/nonexistent",
                      .program = "/bin/false"});
  WatchRoundPlan plan;
  for (const uint32_t pid : {alive, gone}) {
    discovery::TargetProcess process;
    process.pid = pid;
    process.group = "tree:1";
    plan.target.processes.push_back(process);
  }
  const RunRecord failed{.command_line = "py-spy dump",
                         .stdout_text = "",
                         .stderr_text = "Error: no such process\n",
                         .status = RunStatus::Failure};
  const WatchRoundResult result = rounds.finish_round(plan, {failed, failed});
  ASSERT_EQ(plan.target.processes.size(), 1u);
  EXPECT_EQ(plan.target.processes[0].pid, alive);
  std::vector<WatchEventKind> kinds;
  for (const auto& event : result.events) kinds.push_back(event.kind);
  EXPECT_EQ(kinds, (std::vector{WatchEventKind::Started, WatchEventKind::Failing}));
  EXPECT_EQ(result.events.back().detail, "Error: no such process");
  EXPECT_TRUE(result.stuck.empty());
}

}  // namespace
}  // namespace stackpeek::workflow
