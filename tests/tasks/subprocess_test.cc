#include "tasks/subprocess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "tasks/permission.h"
#include "tasks/py_spy.h"
#include "tasks/test_support.h"

namespace stackpeek::tasks {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::write_script;

const std::string kReplacement = "\xEF\xBF\xBD";

RunRecord run_script(const fs::path& script, std::vector<std::string> args = {}) {
  return run_captured(SpyCommand{script, std::move(args), false});
}

size_t open_fd_count() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

class CaptureTest : public ::testing::Test {
 protected:
  TempDir tmp_;
};

TEST_F(CaptureTest, OutputsAndExitStatus) {
  const auto ok = write_script(tmp_ / "ok", "echo \"out $1 $2\"; echo err >&2");
  const RunRecord record = run_script(ok, {"dump", "--pid"});
  EXPECT_EQ(record.command_line, ok.string() + " dump --pid");
  EXPECT_EQ(record.stdout_text, "out dump --pid\n");
  EXPECT_EQ(record.stderr_text, "err\n");
  EXPECT_EQ(record.status, RunStatus::Success);
  EXPECT_EQ(record.exit_code, 0);
  EXPECT_EQ(record.signal, std::nullopt);
  EXPECT_EQ(failure_detail(record), std::nullopt);

  const auto failing = write_script(tmp_ / "fail", "echo 'Error: no such process' >&2; exit 3");
  const RunRecord failed = run_script(failing);
  EXPECT_EQ(failed.status, RunStatus::Failure);
  EXPECT_EQ(failed.stderr_text, "Error: no such process\n");
  EXPECT_EQ(failed.exit_code, 3);
  EXPECT_EQ(failed.signal, std::nullopt);
  EXPECT_EQ(failure_detail(failed), "exit code: 3");

  const RunRecord killed = run_script(write_script(tmp_ / "killed", "echo partial; kill -9 $$"));
  EXPECT_EQ(killed.status, RunStatus::Failure);
  EXPECT_EQ(killed.stdout_text, "partial\n");
  EXPECT_EQ(killed.exit_code, std::nullopt);
  EXPECT_EQ(killed.signal, SIGKILL);

  const RunRecord crashed = run_script(write_script(tmp_ / "crashed", "kill -SEGV $$"));
  EXPECT_EQ(crashed.signal, SIGSEGV);
  EXPECT_EQ(failure_detail(crashed), "signal: 11 (SIGSEGV)");
}

TEST_F(CaptureTest, StartFailuresHaveNoExitCodeOrSignal) {
  const RunRecord missing = run_script(tmp_ / "missing");
  EXPECT_EQ(missing.status, RunStatus::SpawnFailed);
  EXPECT_EQ(missing.exit_code, std::nullopt);
  EXPECT_EQ(missing.signal, std::nullopt);
  EXPECT_EQ(failure_detail(missing), std::nullopt);
}

TEST_F(CaptureTest, ControlledChildCanBeSignalledUntilItEnds) {
  const auto script = write_script(tmp_ / "slow", "echo begun; exec sleep 30");
  ChildControl control;
  const auto start = std::chrono::steady_clock::now();
  std::thread stopper([&control] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    control.signal(SIGTERM);
  });
  const RunRecord record =
      capture_process(ProcessSpec{script.string(), {}, false}, "slow", control);
  stopper.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(record.stdout_text, "begun\n");
  EXPECT_EQ(record.signal, SIGTERM);
  EXPECT_FALSE(control.running());
  EXPECT_FALSE(control.signal(SIGKILL)) << "an ended child is never signalled again";
}

TEST_F(CaptureTest, SignalBeforeTheStartReachesTheChild) {
  ChildControl control;
  EXPECT_TRUE(control.running());
  EXPECT_TRUE(control.signal(SIGTERM));
  const RunRecord record =
      capture_process(ProcessSpec{write_script(tmp_ / "slow", "exec sleep 30").string(), {}, false},
                      "slow", control);
  EXPECT_EQ(record.signal, SIGTERM);
}

TEST_F(CaptureTest, SignalledChildDoesNotWaitForAGrandchildHoldingThePipes) {
  // The grandchild keeps standard output open for 30 s.
  const auto pid_file = tmp_ / "grandchild";
  const auto script = write_script(
      tmp_ / "parent", "sleep 30 & echo $! > '" + pid_file.string() + "'; exec sleep 30");
  ChildControl control;
  std::thread stopper([&control, &pid_file] {
    while (testing::read_pid(pid_file) <= 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    control.signal(SIGKILL);
  });
  const auto start = std::chrono::steady_clock::now();
  const RunRecord record =
      capture_process(ProcessSpec{script.string(), {}, false}, "parent", control);
  stopper.join();
  kill(testing::read_pid(pid_file), SIGKILL);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(record.signal, SIGKILL);
}

TEST_F(CaptureTest, StartFailuresCarryTheSystemText) {
  testing::write_file(tmp_ / "py-spy", "#!/bin/sh\necho hi\n", 0644);
  const RunRecord denied = run_script(tmp_ / "py-spy");
  EXPECT_EQ(denied.status, RunStatus::SpawnFailed);
  EXPECT_EQ(denied.stdout_text, "");
  EXPECT_EQ(denied.stderr_text, "Permission denied (os error 13)");

  const RunRecord missing = run_script(tmp_ / "missing");
  EXPECT_EQ(missing.status, RunStatus::SpawnFailed);
  EXPECT_EQ(missing.stderr_text, "No such file or directory (os error 2)");
}

TEST_F(CaptureTest, BareNameRunsFromTheCurrentFolderNeverFromPath) {
  fs::create_directories(tmp_ / "bin");
  fs::create_directories(tmp_ / "cwd");
  write_script(tmp_ / "bin" / "py-spy", "echo from-path");
  testing::ScopedEnv path("PATH", (tmp_ / "bin").string() + ":/usr/bin:/bin");
  testing::ScopedCwd cwd(tmp_ / "cwd");

  EXPECT_EQ(run_script("py-spy").status, RunStatus::SpawnFailed);
  write_script(tmp_ / "cwd" / "py-spy", "echo from-cwd");
  EXPECT_EQ(run_script("py-spy").stdout_text, "from-cwd\n");
}

TEST_F(CaptureTest, InvalidBytesBecomeReplacementCharacters) {
  const auto script = write_script(tmp_ / "bytes", "printf 'a\\377\\376b'; printf '\\377' >&2");
  const RunRecord record = run_script(script);
  EXPECT_EQ(record.stdout_text, "a" + kReplacement + kReplacement + "b");
  EXPECT_EQ(record.stderr_text, kReplacement);
}

// Descriptors of this process that any child inherits (those we were started with).
std::set<int> inheritable_fds() {
  std::set<int> fds;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    const int fd = std::stoi(entry.path().filename().string());
    const int flags = fcntl(fd, F_GETFD);
    if (flags >= 0 && !(flags & FD_CLOEXEC)) fds.insert(fd);
  }
  return fds;
}

TEST_F(CaptureTest, StdinIsTheNullDeviceAndNoOtherDescriptorIsInherited) {
  // ls lists the shell's descriptors from outside, so it adds none of its own.
  const auto script = write_script(tmp_ / "fds", "ls -l /proc/$$/fd");
  const RunRecord record = run_script(script);
  std::set<int> allowed = inheritable_fds();
  allowed.insert({0, 1, 2});
  std::istringstream lines(record.stdout_text);
  for (std::string line; std::getline(lines, line);) {
    const size_t arrow = line.find(" -> ");
    if (arrow == std::string::npos) continue;  // the "total" line
    const std::string target = line.substr(arrow + 4);
    const int fd = std::stoi(line.substr(line.rfind(' ', arrow - 1) + 1));
    if (fd == 0) {
      EXPECT_EQ(target, "/dev/null");
    }
    if (target == script.string()) continue;  // the shell reading its script
    EXPECT_TRUE(allowed.contains(fd)) << "unexpected descriptor " << fd << " -> " << target;
  }
}

TEST_F(CaptureTest, LargeOutputOnBothStreamsAtOnce) {
  // Each stream far exceeds a pipe's buffer, so reading one stream at a time would stall.
  const auto script = write_script(tmp_ / "big",
                                   "head -c 33554432 /dev/zero | tr '\\0' e >&2 &\n"
                                   "head -c 33554432 /dev/zero | tr '\\0' o\n"
                                   "wait");
  const auto start = std::chrono::steady_clock::now();
  const RunRecord record = run_script(script);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(record.status, RunStatus::Success);
  EXPECT_EQ(record.stdout_text.size(), 33554432u);
  EXPECT_EQ(record.stderr_text.size(), 33554432u);
  EXPECT_EQ(record.stdout_text.find_first_not_of('o'), std::string::npos);
  EXPECT_LT(elapsed, std::chrono::seconds(10));
}

TEST_F(CaptureTest, LeavesNoDescriptorAndNoZombieBehind) {
  const auto script = write_script(tmp_ / "pid", "echo $$");
  const auto denied = tmp_ / "denied";
  testing::write_file(denied, "", 0644);
  run_script(script);  // warm up lazily opened descriptors
  const size_t before = open_fd_count();
  for (int i = 0; i < 20; ++i) {
    const RunRecord record = run_script(script);
    const pid_t pid = std::stoi(record.stdout_text);
    EXPECT_FALSE(testing::process_exists(pid)) << "child " << pid << " was not reaped";
    EXPECT_EQ(run_script(denied).status, RunStatus::SpawnFailed);
  }
  EXPECT_LE(open_fd_count(), before);
}

TEST_F(CaptureTest, SudoValidateRunsSudoFromPath) {
  write_script(tmp_ / "sudo", "echo \"args: $*\"; read line; echo \"stdin: [$line]\"; exit 1");
  {
    testing::ScopedEnv path("PATH", tmp_.path().string() + ":/usr/bin:/bin");
    const RunRecord record = sudo_validate();
    EXPECT_EQ(record.command_line, "sudo -v");
    EXPECT_EQ(record.stdout_text, "args: -v\nstdin: []\n");
    EXPECT_EQ(record.status, RunStatus::Failure);
  }
  testing::ScopedEnv path("PATH", (tmp_ / "nothing-here").string());
  const RunRecord missing = sudo_validate();
  EXPECT_EQ(missing.status, RunStatus::SpawnFailed);
  EXPECT_EQ(missing.stderr_text, "No such file or directory (os error 2)");
}

// The parent-death signal follows the thread that started the child: a command thread that
// ends without reaping its child takes the child with it.
TEST_F(CaptureTest, ChildDiesWithTheThreadThatStartedIt) {
  std::expected<PipedChild, int> child;
  std::thread([&child] {
    child = spawn_piped(ProcessSpec{"/bin/sleep", {"30"}, false, SIGTERM});
  }).join();
  ASSERT_TRUE(child.has_value());
  const auto status = wait_child(child->pid);
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM) << *status;
}

}  // namespace
}  // namespace stackpeek::tasks
