#include "tasks/runner.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tasks/test_support.h"

namespace stackpeek::tasks {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::TempDir;
using testing::write_script;

// Everything a run sent until its Finished event (or until `limit` passed).
struct Outcome {
  std::vector<TopFrame> frames;
  std::optional<Finished> finished;
  Clock::duration waited{};
};

Outcome wait_finished(RunHandle& handle, Clock::duration limit = 20s) {
  Outcome outcome;
  const auto start = Clock::now();
  while (Clock::now() - start < limit) {
    if (auto event = handle.try_recv()) {
      if (auto* frame = std::get_if<TopFrame>(&*event)) {
        outcome.frames.push_back(std::move(*frame));
      } else {
        outcome.finished = std::move(std::get<Finished>(*event));
        break;
      }
    } else {
      std::this_thread::sleep_for(2ms);
    }
  }
  outcome.waited = Clock::now() - start;
  return outcome;
}

// Kills the stray processes whose pids the test scripts wrote, one pid per line.
void kill_listed(const fs::path& pid_file) {
  std::ifstream in(pid_file);
  for (long pid = 0; in >> pid;) kill(static_cast<pid_t>(pid), SIGKILL);
}

class CaptureWorkerTest : public ::testing::Test {
 protected:
  SpyCommand dump(const fs::path& program, uint32_t pid) {
    return build_spy_command(program, SpyMode::Dump, pid, false, std::nullopt);
  }
  TempDir tmp_;
};

TEST_F(CaptureWorkerTest, RecordsInCommandOrderWhateverTheFinishingOrder) {
  // A stand-in py-spy: pid 1 finishes last, pid 2 fails, pid 3 finishes first.
  const auto spy = write_script(tmp_ / "py-spy",
                                "case \"$3\" in\n"
                                "  1) sleep 0.4; echo 'Thread 1 (idle)';;\n"
                                "  2) sleep 0.2; echo 'Error: no such process' >&2; exit 1;;\n"
                                "  3) echo 'Thread 3 (active)';;\n"
                                "esac");
  RunHandle handle = spawn_capture_worker({dump(spy, 1), dump(spy, 2), dump(spy, 3)});
  EXPECT_FALSE(handle.cancellable());

  const Outcome outcome = wait_finished(handle);
  ASSERT_TRUE(outcome.finished);
  EXPECT_TRUE(outcome.frames.empty());
  const auto& records = outcome.finished->records;
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0], (RunRecord{spy.string() + " dump --pid 1", "Thread 1 (idle)\n", "",
                                   RunStatus::Success}));
  EXPECT_EQ(records[1], (RunRecord{spy.string() + " dump --pid 2", "", "Error: no such process\n",
                                   RunStatus::Failure}));
  EXPECT_EQ(records[2].stdout_text, "Thread 3 (active)\n");
  // Only one Finished, and the channel closes once the worker is gone.
  const auto start = Clock::now();
  while (!handle.closed() && Clock::now() - start < 5s) std::this_thread::sleep_for(2ms);
  EXPECT_TRUE(handle.closed());
  EXPECT_EQ(handle.try_recv(), std::nullopt);
}

TEST_F(CaptureWorkerTest, StartFailureAndEmptyRun) {
  testing::write_file(tmp_ / "py-spy", "#!/bin/sh\n", 0644);
  RunHandle handle = spawn_capture_worker({dump(tmp_ / "py-spy", 9)});
  const Outcome outcome = wait_finished(handle);
  ASSERT_TRUE(outcome.finished);
  ASSERT_EQ(outcome.finished->records.size(), 1u);
  EXPECT_EQ(outcome.finished->records[0].status, RunStatus::SpawnFailed);
  EXPECT_EQ(outcome.finished->records[0].stderr_text, "Permission denied (os error 13)");

  RunHandle empty = spawn_capture_worker({});
  const Outcome none = wait_finished(empty);
  ASSERT_TRUE(none.finished);
  EXPECT_TRUE(none.finished->records.empty());
}

TEST_F(CaptureWorkerTest, SixteenAtOnceAndNoPipeHeldBySiblings) {
  // Each command leaves a long sleeper behind that holds none of its own pipes. Were a
  // sibling's pipe end inherited, that sibling's reader would wait for the sleeper.
  const auto pids = tmp_ / "sleepers";
  const auto spy = write_script(tmp_ / "py-spy",
                                "sleep 30 </dev/null >/dev/null 2>&1 &\n"
                                "echo $! >> '" +
                                    pids.string() +
                                    "'\n"
                                    "echo \"dumped $3\"");
  std::vector<SpyCommand> commands;
  for (uint32_t pid = 1; pid <= 16; ++pid) commands.push_back(dump(spy, pid));
  RunHandle handle = spawn_capture_worker(std::move(commands));
  const Outcome outcome = wait_finished(handle, 25s);
  kill_listed(pids);
  ASSERT_TRUE(outcome.finished);
  EXPECT_LT(outcome.waited, 10s);
  ASSERT_EQ(outcome.finished->records.size(), 16u);
  for (uint32_t pid = 1; pid <= 16; ++pid) {
    EXPECT_EQ(outcome.finished->records[pid - 1].stdout_text,
              "dumped " + std::to_string(pid) + "\n");
  }
}

TEST_F(CaptureWorkerTest, DroppedHandleLetsTheProcessesFinish) {
  const auto done = tmp_ / "done";
  const auto spy = write_script(tmp_ / "py-spy", "sleep 0.2; touch '" + done.string() + "'");
  { RunHandle dropped = spawn_capture_worker({dump(spy, 1)}); }
  const auto start = Clock::now();
  while (!fs::exists(done) && Clock::now() - start < 10s) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(fs::exists(done));
  std::this_thread::sleep_for(50ms);  // let the worker's failing send happen
}

class TopWorkerTest : public ::testing::Test {
 protected:
  SpyCommand top(const fs::path& program, bool use_sudo = false) {
    return build_spy_command(program, SpyMode::Top, 7, use_sudo, std::nullopt);
  }
  // A stand-in py-spy top: one screen per step in the real shape, then `tail`.
  fs::path fake_top(const std::string& tail) {
    return write_script(tmp_ / "py-spy",
                        "echo $$ > '" + (tmp_ / "top.pid").string() +
                            "'\n"
                            "printf '\\n\\n\\033[H\\r\\033[2KTotal Samples 100\\n'\n"
                            "printf '\\033[H\\r\\033[2KTotal Samples 200\\n' >&2\n" +
                            tail);
  }
  pid_t top_pid() { return testing::read_pid(tmp_ / "top.pid"); }

  // Waits for one frame on either stream.
  std::vector<TopFrame> first_frames(RunHandle& handle) {
    std::vector<TopFrame> frames;
    const auto start = Clock::now();
    while (frames.empty() && Clock::now() - start < 10s) {
      if (auto event = handle.try_recv()) {
        if (auto* frame = std::get_if<TopFrame>(&*event)) frames.push_back(*frame);
      }
      std::this_thread::sleep_for(2ms);
    }
    return frames;
  }

  TempDir tmp_;
};

TEST_F(TopWorkerTest, FramesArriveAndCancelKillsAtOnce) {
  RunHandle handle = spawn_top_worker(top(fake_top("exec sleep 30")));
  EXPECT_TRUE(handle.cancellable());
  const auto frames = first_frames(handle);
  ASSERT_FALSE(frames.empty());
  EXPECT_TRUE(frames[0].lines == std::vector<std::string>{"\rTotal Samples 100"} ||
              frames[0].lines == std::vector<std::string>{"\rTotal Samples 200"});

  const pid_t pid = top_pid();
  const auto start = Clock::now();
  handle.cancel_and_wait(5s);
  EXPECT_LT(Clock::now() - start, 300ms);
  EXPECT_FALSE(testing::process_exists(pid)) << "killed and reaped";
  const Outcome outcome = wait_finished(handle, 1s);
  ASSERT_TRUE(outcome.finished);
  ASSERT_EQ(outcome.finished->records.size(), 1u);
  EXPECT_EQ(outcome.finished->records[0],
            (RunRecord{(tmp_ / "py-spy").string() + " top --pid 7 --delay 1", "", "",
                       RunStatus::Failure}));
}

TEST_F(TopWorkerTest, DroppingTheHandleCancels) {
  pid_t pid = -1;
  {
    RunHandle dropped = spawn_top_worker(top(fake_top("exec sleep 30")));
    ASSERT_FALSE(first_frames(dropped).empty());
    pid = top_pid();
  }
  const auto start = Clock::now();
  while (testing::process_exists(pid) && Clock::now() - start < 5s) {
    std::this_thread::sleep_for(2ms);
  }
  EXPECT_FALSE(testing::process_exists(pid));
  EXPECT_LT(Clock::now() - start, 300ms);
}

TEST_F(TopWorkerTest, ProcessEndingByItself) {
  RunHandle ok = spawn_top_worker(top(fake_top("printf '\\nprocess 7 ended\\n'")));
  const Outcome success = wait_finished(ok);
  ASSERT_TRUE(success.finished);
  EXPECT_EQ(success.finished->records[0].status, RunStatus::Success);
  EXPECT_EQ(success.finished->records[0].stdout_text, "");

  RunHandle failing = spawn_top_worker(top(fake_top("exit 3")));
  const Outcome failure = wait_finished(failing);
  ASSERT_TRUE(failure.finished);
  EXPECT_EQ(failure.finished->records[0].status, RunStatus::Failure);
}

TEST_F(TopWorkerTest, StartFailureText) {
  testing::write_file(tmp_ / "py-spy", "#!/bin/sh\n", 0644);
  RunHandle handle = spawn_top_worker(top(tmp_ / "py-spy"));
  const Outcome outcome = wait_finished(handle);
  ASSERT_TRUE(outcome.finished);
  EXPECT_EQ(outcome.finished->records[0],
            (RunRecord{(tmp_ / "py-spy").string() + " top --pid 7 --delay 1", "",
                       "failed to spawn py-spy top", RunStatus::SpawnFailed}));
  handle.cancel_and_wait(1s);  // the worker is gone: returns at once
}

// A stand-in sudo that, like the real one, relays SIGTERM to the command it runs.
constexpr const char* kRelayingSudo =
    "shift\n"  // "-n"
    "\"$@\" &\n"
    "child=$!\n"
    "trap 'echo relayed >> \"$LOG\"; kill -TERM $child; wait $child; exit 143' TERM\n"
    "wait $child";

TEST_F(TopWorkerTest, CancelThroughSudoStopsTheCommandItself) {
  write_script(tmp_ / "sudo",
               std::string("LOG='") + (tmp_ / "log").string() + "'\n" + kRelayingSudo);
  testing::ScopedEnv path("PATH", tmp_.path().string() + ":/usr/bin:/bin");
  RunHandle handle = spawn_top_worker(top(fake_top("exec sleep 30"), true));
  ASSERT_FALSE(first_frames(handle).empty());

  const pid_t spy_pid = top_pid();
  handle.cancel_and_wait(5s);
  const Outcome outcome = wait_finished(handle, 1s);
  ASSERT_TRUE(outcome.finished);
  EXPECT_EQ(outcome.finished->records[0].status, RunStatus::Failure);
  EXPECT_TRUE(outcome.finished->records[0].command_line.starts_with("sudo -n "));
  EXPECT_TRUE(fs::exists(tmp_ / "log")) << "sudo got SIGTERM to relay";
  const auto start = Clock::now();
  while (testing::process_exists(spy_pid) && Clock::now() - start < 2s) {
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_FALSE(testing::process_exists(spy_pid)) << "the command under sudo is gone too";
}

TEST_F(TopWorkerTest, SudoIgnoringTermIsKilledAfterItsGrace) {
  write_script(tmp_ / "sudo", "shift\ntrap '' TERM\n\"$@\" &\necho $! > '" +
                                  (tmp_ / "orphan").string() + "'\nwait");
  testing::ScopedEnv path("PATH", tmp_.path().string() + ":/usr/bin:/bin");
  RunHandle handle = spawn_top_worker(top(fake_top("exec sleep 30"), true));
  ASSERT_FALSE(first_frames(handle).empty());

  const auto start = Clock::now();
  handle.cancel_and_wait(5s);
  const auto waited = Clock::now() - start;
  kill_listed(tmp_ / "orphan");
  EXPECT_GE(waited, 400ms);
  EXPECT_LT(waited, 2s);
  const Outcome outcome = wait_finished(handle, 1s);
  ASSERT_TRUE(outcome.finished);
  EXPECT_EQ(outcome.finished->records[0].status, RunStatus::Failure);
}

}  // namespace
}  // namespace stackpeek::tasks
