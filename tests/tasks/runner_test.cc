#include "tasks/runner.h"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
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
  EXPECT_FALSE(handle.live_top());

  const Outcome outcome = wait_finished(handle);
  ASSERT_TRUE(outcome.finished);
  EXPECT_TRUE(outcome.frames.empty());
  const auto& records = outcome.finished->records;
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0], (RunRecord{spy.string() + " dump --pid 1", "Thread 1 (idle)\n", "",
                                   RunStatus::Success, 0, std::nullopt, records[0].seconds}));
  EXPECT_EQ(records[1], (RunRecord{spy.string() + " dump --pid 2", "", "Error: no such process\n",
                                   RunStatus::Failure, 1, std::nullopt, records[1].seconds}));
  EXPECT_GT(records[0].seconds.value_or(0), 0);
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

TEST_F(CaptureWorkerTest, DroppedHandleStopsTheCommands) {
  const auto pid_file = tmp_ / "spy.pid";
  const auto spy = write_script(tmp_ / "py-spy", "echo $$ > '" + pid_file.string() +
                                                     "'\n"
                                                     "exec sleep 30");
  {
    RunHandle dropped = spawn_capture_worker({dump(spy, 1)});
    const auto start = Clock::now();
    while (testing::read_pid(pid_file) <= 0 && Clock::now() - start < 10s) {
      std::this_thread::sleep_for(5ms);
    }
  }
  const pid_t pid = testing::read_pid(pid_file);
  ASSERT_GT(pid, 0);
  const auto start = Clock::now();
  while (testing::process_exists(pid) && Clock::now() - start < 5s) {
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_FALSE(testing::process_exists(pid)) << "stopped by SIGINT and reaped";
  EXPECT_LT(Clock::now() - start, 1s);
}

// A stand-in py-spy that answers SIGINT like py-spy record: it prints what it has and
// exits 0. `pid_file` gets its pid once the trap is set.
constexpr const char* kInterruptible =
    "trap 'echo \"stopped $3\"; exit 0' INT\n"
    "echo \"sampling $3\"\n"
    "echo $$ >> \"$PIDS\"\n"
    "while :; do sleep 0.02; done";

// Waits until `count` pids were written to `file`.
void wait_for_pids(const fs::path& file, size_t count) {
  const auto start = Clock::now();
  while (Clock::now() - start < 10s) {
    std::ifstream in(file);
    size_t lines = 0;
    for (std::string line; std::getline(in, line);) ++lines;
    if (lines >= count) return;
    std::this_thread::sleep_for(5ms);
  }
}

TEST_F(CaptureWorkerTest, CancelSendsSigintAndKeepsEveryRecord) {
  const auto pids = tmp_ / "pids";
  const auto spy = write_script(tmp_ / "py-spy", "PIDS='" + pids.string() + "'\n" + kInterruptible);
  RunHandle handle = spawn_capture_worker({dump(spy, 1), dump(spy, 2)});
  wait_for_pids(pids, 2);

  auto start = Clock::now();
  handle.cancel();
  EXPECT_LT(Clock::now() - start, 50ms) << "cancel never blocks";
  EXPECT_TRUE(handle.cancel_requested());
  const Outcome outcome = wait_finished(handle, 10s);
  ASSERT_TRUE(outcome.finished);
  EXPECT_LT(outcome.waited, 1500ms);
  ASSERT_EQ(outcome.finished->records.size(), 2u);
  for (uint32_t pid = 1; pid <= 2; ++pid) {
    const RunRecord& record = outcome.finished->records[pid - 1];
    EXPECT_EQ(record.stdout_text, fmt::format("sampling {}\nstopped {}\n", pid, pid));
    EXPECT_EQ(record.status, RunStatus::Success);
    EXPECT_EQ(record.exit_code, 0);
  }
  // The worker is done: waiting returns at once.
  start = Clock::now();
  handle.cancel_and_wait(2s);
  EXPECT_LT(Clock::now() - start, 100ms);
}

// A command that ignores SIGINT (sleep inherits the ignored signal); its pid goes to $PIDS.
constexpr const char* kIgnoresSigint =
    "trap '' INT\n"
    "echo $$ >> \"$PIDS\"\n"
    "exec sleep 30\n";

TEST_F(CaptureWorkerTest, CancelKillsWhatOutlivesSigint) {
  const auto pids = tmp_ / "pids";
  // Pid 1 ignores SIGINT (sleep inherits the ignored signal); pid 2 obeys it.
  const auto spy = write_script(tmp_ / "py-spy", "PIDS='" + pids.string() +
                                                     "'\n"
                                                     "if [ \"$3\" = 1 ]; then\n" +
                                                     kIgnoresSigint + "fi\n" + kInterruptible);
  RunHandle handle = spawn_capture_worker({dump(spy, 1), dump(spy, 2)});
  wait_for_pids(pids, 2);
  const pid_t stubborn = testing::read_pid(pids);

  handle.cancel();
  const Outcome outcome = wait_finished(handle, 10s);
  ASSERT_TRUE(outcome.finished);
  EXPECT_GE(outcome.waited, 1900ms);
  EXPECT_LT(outcome.waited, 3s);
  EXPECT_FALSE(testing::process_exists(stubborn)) << "killed and reaped";
  const auto& records = outcome.finished->records;
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].status, RunStatus::Failure);
  EXPECT_EQ(records[0].signal, SIGKILL);
  EXPECT_EQ(records[0].exit_code, std::nullopt);
  EXPECT_EQ(failure_detail(records[0]), "signal: 9 (SIGKILL)");
  EXPECT_EQ(records[1].stdout_text, "sampling 2\nstopped 2\n");
  EXPECT_EQ(records[1].status, RunStatus::Success);
}

TEST_F(CaptureWorkerTest, KillAndWaitCutsTheGraceShort) {
  const auto pids = tmp_ / "pids";
  const auto spy = write_script(tmp_ / "py-spy", "PIDS='" + pids.string() + "'\n" + kIgnoresSigint);
  RunHandle handle = spawn_capture_worker({dump(spy, 1)});
  wait_for_pids(pids, 1);
  const pid_t stubborn = testing::read_pid(pids);
  handle.cancel();
  std::this_thread::sleep_for(100ms);
  const auto start = Clock::now();
  handle.kill_and_wait(1s);
  EXPECT_LT(Clock::now() - start, 900ms) << "no 2 s grace after the second request";
  EXPECT_FALSE(testing::process_exists(stubborn));
}

// The final dumps run once the commands have ended, cancelled or not; not when asked to
// stop at once.
TEST_F(CaptureWorkerTest, FinalDumpsFollowTheCommandsUnlessStoppedAtOnce) {
  const auto pids = tmp_ / "pids";
  const auto spy =
      write_script(tmp_ / "py-spy", "PIDS='" + pids.string() +
                                        "'\n"
                                        "if [ \"$3\" = 7 ]; then echo final; exit 0; fi\n" +
                                        kInterruptible);
  RunHandle cancelled = spawn_capture_worker({dump(spy, 1)}, {dump(spy, 7)});
  wait_for_pids(pids, 1);
  cancelled.cancel();
  const Outcome outcome = wait_finished(cancelled, 10s);
  ASSERT_TRUE(outcome.finished);
  EXPECT_EQ(outcome.finished->records[0].stdout_text, "sampling 1\nstopped 1\n");
  ASSERT_EQ(outcome.finished->final_dumps.size(), 1u);
  EXPECT_EQ(outcome.finished->final_dumps[0].stdout_text, "final\n");

  RunHandle hurried = spawn_capture_worker({dump(spy, 2)}, {dump(spy, 7)});
  wait_for_pids(pids, 2);
  hurried.kill_and_wait(2s);
  const Outcome none = wait_finished(hurried, 10s);
  ASSERT_TRUE(none.finished);
  EXPECT_TRUE(none.finished->final_dumps.empty());
}

TEST_F(CaptureWorkerTest, CancelAndWaitWaitsForTheRecords) {
  const auto pids = tmp_ / "pids";
  const auto spy = write_script(tmp_ / "py-spy", "PIDS='" + pids.string() + "'\n" + kInterruptible);
  RunHandle handle = spawn_capture_worker({dump(spy, 1)});
  wait_for_pids(pids, 1);
  const auto start = Clock::now();
  handle.cancel_and_wait(3s);
  EXPECT_LT(Clock::now() - start, 1500ms);
  // Finished came before the stopped signal.
  auto event = handle.try_recv();
  ASSERT_TRUE(event);
  ASSERT_TRUE(std::holds_alternative<Finished>(*event));
  EXPECT_EQ(std::get<Finished>(*event).records[0].stdout_text, "sampling 1\nstopped 1\n");
}

TEST_F(CaptureWorkerTest, CancelAfterTheEndChangesNothing) {
  const auto spy = write_script(tmp_ / "py-spy", "echo done");
  RunHandle handle = spawn_capture_worker({dump(spy, 1)});
  const Outcome outcome = wait_finished(handle);
  ASSERT_TRUE(outcome.finished);
  handle.cancel();
  handle.cancel();
  EXPECT_EQ(outcome.finished->records[0].status, RunStatus::Success);
  EXPECT_EQ(handle.try_recv(), std::nullopt);
}

// A stand-in sudo that, like the real one, relays SIGINT and SIGTERM to its command and
// exits with the command's status.
constexpr const char* kRelayingCaptureSudo =
    "shift\n"  // "-n"
    "\"$@\" &\n"
    "child=$!\n"
    "trap 'echo INT >> \"$LOG\"; kill -INT $child' INT\n"
    "trap 'echo TERM >> \"$LOG\"; kill -TERM $child' TERM\n"
    "status=0\n"
    "while kill -0 $child 2>/dev/null; do wait $child; status=$?; done\n"
    "exit $status";

TEST_F(CaptureWorkerTest, SudoCommandIgnoringSigintGetsSigtermRelayedAfterTheGrace) {
  const auto pids = tmp_ / "pids";
  const auto log = tmp_ / "log";
  write_script(tmp_ / "sudo", "LOG='" + log.string() + "'\n" + kRelayingCaptureSudo);
  testing::ScopedEnv path("PATH", tmp_.path().string() + ":/usr/bin:/bin");
  // As a background job of sh, the command ignores the relayed SIGINT; its trap cannot
  // change that, so the SIGTERM that follows after 2 s ends it.
  const auto spy =
      write_script(tmp_ / "py-spy", "PIDS='" + pids.string() + "'\n" + std::string(kInterruptible));
  RunHandle handle =
      spawn_capture_worker({build_spy_command(spy, SpyMode::Dump, 1, true, std::nullopt)});
  wait_for_pids(pids, 1);
  handle.cancel();
  const Outcome outcome = wait_finished(handle, 10s);
  ASSERT_TRUE(outcome.finished);
  const RunRecord& record = outcome.finished->records[0];
  EXPECT_TRUE(record.command_line.starts_with("sudo -n "));
  std::ifstream in(log);
  std::string relayed((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(relayed, "INT\nTERM\n");
  EXPECT_GE(outcome.waited, 1900ms);
  EXPECT_LT(outcome.waited, 3s);
  EXPECT_EQ(record.stdout_text, "sampling 1\n");
  EXPECT_EQ(record.status, RunStatus::Failure);
  EXPECT_EQ(record.exit_code, 143) << "sudo passes on the command's status";
  EXPECT_FALSE(testing::process_exists(testing::read_pid(pids)));
}

// Waits for the stand-in py-spy's log line, then a little for its SIGINT handler.
void wait_for_fake_start(const fs::path& log) {
  const auto started = Clock::now();
  while (!fs::exists(log) && Clock::now() - started < 10s) std::this_thread::sleep_for(5ms);
  std::this_thread::sleep_for(300ms);
}

TEST_F(CaptureWorkerTest, CancelledRecordThroughSudoWritesItsFlameGraph) {
  const auto log = tmp_ / "log";
  write_script(tmp_ / "sudo",
               "LOG='" + (tmp_ / "sudo.log").string() + "'\n" + kRelayingCaptureSudo);
  testing::ScopedEnv path("PATH", tmp_.path().string() + ":/usr/bin:/bin");
  testing::ScopedEnv seconds("STACKPEEK_FAKE_RECORD_SECONDS", "20");
  testing::ScopedEnv fake_log("STACKPEEK_FAKE_LOG", log.string());
  const fs::path fake = fs::path(STACKPEEK_TEST_DIR) / "bin" / "py-spy";
  RunHandle handle = spawn_capture_worker({build_spy_command(
      fake, SpyMode::Record, static_cast<uint32_t>(getpid()), true, tmp_.path())});
  wait_for_fake_start(log);
  handle.cancel();
  const Outcome outcome = wait_finished(handle, 10s);
  ASSERT_TRUE(outcome.finished);
  EXPECT_LT(outcome.waited, 1500ms);
  const RunRecord& record = outcome.finished->records[0];
  EXPECT_EQ(record.status, RunStatus::Success) << record.stderr_text;
  EXPECT_EQ(record.exit_code, 0);
  EXPECT_NE(record.stdout_text.find("Stopped sampling because Control-C pressed"),
            std::string::npos);
  EXPECT_TRUE(fs::exists(tmp_ / ("pid-" + std::to_string(getpid()) + ".svg")));
}

// The stand-in py-spy of the end-to-end tests, recording this test process.
TEST_F(CaptureWorkerTest, CancelledRecordWritesItsFlameGraph) {
  const fs::path fake = fs::path(STACKPEEK_TEST_DIR) / "bin" / "py-spy";
  testing::ScopedEnv seconds("STACKPEEK_FAKE_RECORD_SECONDS", "20");
  testing::ScopedEnv log("STACKPEEK_FAKE_LOG", (tmp_ / "log").string());
  const auto command =
      build_spy_command(fake, SpyMode::Record, static_cast<uint32_t>(getpid()), false, tmp_.path());
  RunHandle handle = spawn_capture_worker({command});
  wait_for_fake_start(tmp_ / "log");
  handle.cancel();
  const Outcome outcome = wait_finished(handle, 10s);
  ASSERT_TRUE(outcome.finished);
  EXPECT_LT(outcome.waited, 1500ms);
  const RunRecord& record = outcome.finished->records[0];
  EXPECT_EQ(record.status, RunStatus::Success) << record.stderr_text;
  EXPECT_NE(record.stdout_text.find("py-spy> Stopped sampling because Control-C pressed\n"
                                    "py-spy> Wrote flamegraph data to '"),
            std::string::npos)
      << record.stdout_text;
  EXPECT_TRUE(fs::exists(tmp_ / ("pid-" + std::to_string(getpid()) + ".svg")));
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
  EXPECT_TRUE(handle.live_top());
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
                       RunStatus::Failure, std::nullopt, SIGKILL}));
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
  EXPECT_EQ(success.finished->records[0].exit_code, 0);
  // What came after the last screen stays in the record; the screens do not.
  EXPECT_EQ(success.finished->records[0].stdout_text, "process 7 ended\n");
  EXPECT_EQ(success.finished->records[0].stderr_text, "");
  // The last frame of standard output still shows it too.
  EXPECT_TRUE(std::ranges::any_of(success.frames, [](const TopFrame& frame) {
    return !frame.lines.empty() && frame.lines.back() == "process 7 ended";
  }));

  RunHandle failing = spawn_top_worker(
      top(fake_top("echo 'Error: Failed to find python version from target process' >&2\n"
                   "exit 3")));
  const Outcome failure = wait_finished(failing);
  ASSERT_TRUE(failure.finished);
  const RunRecord& record = failure.finished->records[0];
  EXPECT_EQ(record.status, RunStatus::Failure);
  EXPECT_EQ(record.exit_code, 3);
  EXPECT_EQ(record.stderr_text, "Error: Failed to find python version from target process\n");
  EXPECT_EQ(record.stdout_text, "");
  EXPECT_EQ(failure_detail(record), "exit code: 3");
}

TEST_F(TopWorkerTest, ErrorBeforeAnyScreenIsKeptWhole) {
  const auto spy = write_script(tmp_ / "py-spy",
                                "printf '\\n\\n\\n'\n"
                                "printf 'Error: Permission Denied\\n\\nCaused by:\\n  x\\n' >&2\n"
                                "exit 1");
  RunHandle handle = spawn_top_worker(top(spy));
  const Outcome outcome = wait_finished(handle);
  ASSERT_TRUE(outcome.finished);
  const RunRecord& record = outcome.finished->records[0];
  EXPECT_EQ(record.stderr_text, "Error: Permission Denied\n\nCaused by:\n  x\n");
  EXPECT_EQ(record.stdout_text, "");
  EXPECT_EQ(record.exit_code, 1);
}

TEST_F(TopWorkerTest, KilledBySignal) {
  RunHandle handle = spawn_top_worker(top(fake_top("kill -SEGV $$")));
  const Outcome outcome = wait_finished(handle);
  ASSERT_TRUE(outcome.finished);
  EXPECT_EQ(outcome.finished->records[0].signal, SIGSEGV);
  EXPECT_EQ(failure_detail(outcome.finished->records[0]), "signal: 11 (SIGSEGV)");
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

// py-spy top reads keys from its standard input, so it gets a terminal of its own, sized
// like the output pane and resized with it.
TEST_F(TopWorkerTest, RunsOnATerminalOfItsOwnThatFollowsThePaneSize) {
  const auto spy =
      write_script(tmp_ / "py-spy",
                   "show() { printf '\\033[H\\r\\033[2Ksize %s\\n' \"$(stty size)\"; }\n"
                   "trap show WINCH\n"
                   "read -r _ _ _ _ _ session _ < /proc/$$/stat\n"
                   "[ -t 0 ] && [ -t 1 ] && [ \"$session\" -eq $$ ] && show\n"
                   "while :; do sleep 0.05; done");
  RunHandle handle = spawn_top_worker(top(spy), WindowSize{30, 100});
  const auto lines_of = [&handle](const std::string& wanted) {
    for (const auto start = Clock::now(); Clock::now() - start < 10s;) {
      const auto event = handle.try_recv();
      const auto* frame = event ? std::get_if<TopFrame>(&*event) : nullptr;
      if (frame && frame->lines == std::vector<std::string>{wanted}) return true;
      if (!event) std::this_thread::sleep_for(2ms);
    }
    return false;
  };
  EXPECT_TRUE(lines_of("\rsize 30 100"));
  handle.resize(WindowSize{12, 61});
  EXPECT_TRUE(lines_of("\rsize 12 61"));
  handle.cancel_and_wait(5s);
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
