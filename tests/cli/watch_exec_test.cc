#include "cli/watch_exec.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace stackpeek::cli {
namespace {

// A hook that starts a job in the background must not hold the watch until that job ends,
// although the job keeps the hook's output pipes open.
TEST(ExecHookTest, ReturnsWhenTheShellEndsNotWhenItsBackgroundJobDoes) {
  const auto pid_file =
      std::filesystem::temp_directory_path() / ("stackpeek-hook-" + std::to_string(getpid()));
  const auto start = std::chrono::steady_clock::now();
  run_exec_hook("sleep 30 & echo $! > " + pid_file.string(), "/tmp/evidence", "group");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  pid_t job = 0;
  std::ifstream(pid_file) >> job;
  ASSERT_GT(job, 0);
  kill(job, SIGKILL);
  std::filesystem::remove(pid_file);
}

}  // namespace
}  // namespace stackpeek::cli
