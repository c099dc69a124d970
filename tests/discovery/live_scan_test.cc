// Starts real Python processes and checks what a scan of the live /proc makes of them.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "app/list_model.h"
#include "discovery/groups.h"
#include "discovery/scan.h"

extern char** environ;

namespace stackpeek::discovery {
namespace {

namespace fs = std::filesystem;
constexpr const char* kPython = "/usr/bin/python3";
const std::string kBadBytes = "\xFF\xFE\x1B[31mred";
const std::string kBadDecoded = "\xEF\xBF\xBD\xEF\xBF\xBD\x1B[31mred";

constexpr const char* kMultiprocessingScript = R"(import multiprocessing, time
def child():
    time.sleep(600)
if __name__ == "__main__":
    ctx = multiprocessing.get_context("fork")
    for _ in range(3):
        ctx.Process(target=child).start()
    time.sleep(600)
)";

// Starts the ranks out of rank order, so pid order and rank order differ.
constexpr const char* kLauncherScript = R"(import os, subprocess, sys, time
marker, port = sys.argv[1], sys.argv[2]
for rank in (2, 0, 3, 1):
    env = dict(os.environ, RANK=str(rank), LOCAL_RANK=str(rank), WORLD_SIZE="4",
               MASTER_ADDR="127.0.0.1", MASTER_PORT=port)
    subprocess.Popen([sys.executable, "worker.py", marker, f"--local-rank={rank}"], env=env)
time.sleep(600)
)";

constexpr const char* kSleepScript = "import time\ntime.sleep(600)\n";

// Everything started here runs in its own process group; on destruction each group is
// killed and every descendant reaped (the test adopts orphans as a child subreaper).
class ChildGuard {
 public:
  ChildGuard() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }
  ~ChildGuard() {
    for (const pid_t pgid : groups_) ::kill(-pgid, SIGKILL);
    for (const pid_t pgid : groups_) {
      while (::waitpid(-pgid, nullptr, 0) > 0 || errno == EINTR) {
      }
    }
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
  }

  pid_t spawn(const std::vector<std::string>& argv, const std::string& cwd) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    pid_t pid = -1;
    const int err = ::posix_spawn(&pid, args[0], &actions, &attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (err != 0) return -1;
    groups_.push_back(pid);
    return pid;
  }

 private:
  std::vector<pid_t> groups_;
};

struct TempDir {
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "spk-live-XXXXXX").string();
    path = ::mkdtemp(pattern.data());
  }
  ~TempDir() { fs::remove_all(path); }
  void write(const std::string& name, const char* text) const {
    std::ofstream(fs::path(path) / name) << text;
  }
  std::string path;
};

bool mentions(const ProcessInfo& p, const std::string& marker) {
  return std::find(p.cmd.begin(), p.cmd.end(), marker) != p.cmd.end();
}

size_t count_running(const std::vector<ProcessInfo>& processes, const std::string& marker,
                     const std::string& script) {
  return std::count_if(processes.begin(), processes.end(), [&](const ProcessInfo& p) {
    return mentions(p, marker) && p.cmd.size() > 1 && p.cmd[1] == script;
  });
}

// Waits until every process has started; forked but not yet executed children would still
// carry their parent's command line, so each script must show exactly its own count.
std::vector<ProcessInfo> scan_when_ready(const std::string& marker) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  std::vector<ProcessInfo> processes;
  while (std::chrono::steady_clock::now() < deadline) {
    processes = scan_processes().value();
    if (count_running(processes, marker, "mp_parent.py") == 4 &&
        count_running(processes, marker, "fake_torchrun.py") == 1 &&
        count_running(processes, marker, "worker.py") == 4 &&
        count_running(processes, marker, "sleep.py") == 2) {
      return processes;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ADD_FAILURE() << "the test processes did not all start within 30 seconds";
  return processes;
}

const ProcessGroup* group_with(const std::vector<ProcessGroup>& groups, uint32_t pid) {
  for (const auto& group : groups) {
    for (const auto& member : group.members) {
      if (member.pid == pid) return &group;
    }
  }
  return nullptr;
}

std::vector<std::string> rows_of(const std::vector<ProcessGroup>& groups,
                                 const ProcessGroup* group) {
  std::vector<std::string> texts;
  const auto index = static_cast<size_t>(group - groups.data());
  for (const auto& row : app::list_rows(groups)) {
    if (row.group_index == index) texts.push_back(row.text);
  }
  return texts;
}

std::string member_row(uint32_t pid, const std::string& body) {
  std::string pid_text = std::to_string(pid);
  pid_text.resize(std::max<size_t>(pid_text.size(), 7), ' ');
  return "  pid " + pid_text + " " + body;
}

class LiveScanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.write("mp_parent.py", kMultiprocessingScript);
    dir.write("fake_torchrun.py", kLauncherScript);
    dir.write("worker.py", kSleepScript);
    dir.write("sleep.py", kSleepScript);
    fs::create_directories(fs::path(dir.path) / ".venv/bin");
    fs::create_symlink(kPython, venv_python);
  }

  TempDir dir;
  ChildGuard children;
  const std::string marker = "spk-" + std::to_string(::getpid());
  const std::string port = std::to_string(20000 + ::getpid() % 20000);
  const std::string venv_python = dir.path + "/.venv/bin/python3";
};

TEST_F(LiveScanTest, GroupsKindsKeysAndRowsOfRealProcesses) {
  const pid_t mp = children.spawn({kPython, "mp_parent.py", marker}, dir.path);
  const pid_t launcher = children.spawn({kPython, "fake_torchrun.py", marker, port}, dir.path);
  const pid_t bad = children.spawn({kPython, "sleep.py", marker, kBadBytes}, dir.path);
  const pid_t venv = children.spawn({venv_python, "sleep.py", marker, "venv"}, dir.path);
  ASSERT_TRUE(mp > 0 && launcher > 0 && bad > 0 && venv > 0);

  const auto groups = build_groups(scan_when_ready(marker));
  for (const auto& group : groups) {
    const bool ours = std::any_of(group.members.begin(), group.members.end(),
                                  [&](const ProcessInfo& p) { return mentions(p, marker); });
    if (!ours) continue;
    for (const auto& member : group.members) EXPECT_TRUE(mentions(member, marker)) << group.key;
  }

  // The multiprocessing parent and its three forked children: one process tree.
  const ProcessGroup* tree = group_with(groups, static_cast<uint32_t>(mp));
  ASSERT_NE(tree, nullptr);
  EXPECT_EQ(tree->kind, GroupKind::ProcessTree);
  EXPECT_EQ(tree->key, "tree:" + std::to_string(mp));
  ASSERT_EQ(tree->members.size(), 4u);
  EXPECT_EQ(tree->members[0].pid, static_cast<uint32_t>(mp));
  EXPECT_TRUE(std::is_sorted(tree->members.begin(), tree->members.end(),
                             [](const auto& a, const auto& b) { return a.pid < b.pid; }));
  EXPECT_EQ(tree->label, "mp_parent.py " + marker);
  EXPECT_EQ(tree->cwd_text, dir.path);
  EXPECT_EQ(tree->members[0].runtime.kind, RuntimeKind::System);
  EXPECT_EQ(tree->members[0].runtime.root, PathOrMessage::path("/usr"));
  const auto tree_rows = rows_of(groups, tree);
  ASSERT_EQ(tree_rows.size(), 5u);
  EXPECT_EQ(tree_rows[0], "v mp_parent.py " + marker + " [process tree] 4 procs");
  EXPECT_EQ(tree_rows[1], member_row(mp, "/usr/bin/python3 mp_parent.py " + marker));

  // The four ranks: one torch job in rank order; the launcher alone beside it.
  const ProcessGroup* job = nullptr;
  for (const auto& group : groups) {
    if (group.key == "torch:torch:127.0.0.1:" + port + ":world4") job = &group;
  }
  ASSERT_NE(job, nullptr);
  EXPECT_EQ(job->kind, GroupKind::TorchDdp);
  EXPECT_EQ(job->label, "worker.py " + marker);
  ASSERT_EQ(job->members.size(), 4u);
  const auto job_rows = rows_of(groups, job);
  ASSERT_EQ(job_rows.size(), 5u);
  EXPECT_EQ(job_rows[0], "v worker.py " + marker + " [torch/ddp] 4 procs");
  for (size_t rank = 0; rank < 4; ++rank) {
    const ProcessInfo& member = job->members[rank];
    EXPECT_EQ(member.torch.rank, std::to_string(rank));
    EXPECT_EQ(member.parent_pid, static_cast<uint32_t>(launcher));
    const std::string r = std::to_string(rank);
    EXPECT_EQ(job_rows[rank + 1],
              member_row(member.pid, "rank " + r + "/4 local " + r + " /usr/bin/python3 " +
                                         "worker.py " + marker + " --local-rank=" + r));
  }
  EXPECT_FALSE(std::is_sorted(job->members.begin(), job->members.end(),
                              [](const auto& a, const auto& b) { return a.pid < b.pid; }));

  const ProcessGroup* alone = group_with(groups, static_cast<uint32_t>(launcher));
  ASSERT_NE(alone, nullptr);
  EXPECT_EQ(alone->kind, GroupKind::Process);
  EXPECT_EQ(alone->key, "runtime:/usr:" + dir.path + ":fake_torchrun.py " + marker + " " + port);
  EXPECT_EQ(rows_of(groups, alone)[0],
            "v fake_torchrun.py " + marker + " " + port + " [process] 1 procs");

  // Bytes that are not UTF-8 become U+FFFD; escape characters are kept for the screen.
  const ProcessGroup* odd = group_with(groups, static_cast<uint32_t>(bad));
  ASSERT_NE(odd, nullptr);
  EXPECT_EQ(odd->members[0].cmd.back(), kBadDecoded);
  EXPECT_EQ(rows_of(groups, odd),
            (std::vector<std::string>{
                "v sleep.py " + marker + " " + kBadDecoded + " [process] 1 procs",
                member_row(bad, "/usr/bin/python3 sleep.py " + marker + " " + kBadDecoded)}));

  // Started through a symlinked venv: the exe link names /usr/bin, the venv still shows.
  const ProcessGroup* in_venv = group_with(groups, static_cast<uint32_t>(venv));
  ASSERT_NE(in_venv, nullptr);
  const RuntimeInfo& runtime = in_venv->members[0].runtime;
  EXPECT_EQ(runtime.kind, RuntimeKind::Venv);
  EXPECT_EQ(runtime.root, PathOrMessage::path(dir.path + "/.venv"));
  EXPECT_TRUE(in_venv->members[0].exe.value.starts_with("/usr/bin/python3"));
  EXPECT_EQ(in_venv->runtime_text, "venv 3 - " + dir.path + "/.venv");
}

}  // namespace
}  // namespace stackpeek::discovery
