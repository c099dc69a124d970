#include "discovery/scan.h"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "discovery/fake_proc.h"
#include "discovery/runtime.h"

namespace stackpeek::discovery {
namespace {

using namespace std::string_literals;
using testing::FakeProcess;
using testing::FakeProcTree;

std::vector<ProcessInfo> scan(const FakeProcTree& tree) {
  auto result = scan_processes(tree.root());
  EXPECT_TRUE(result.has_value());
  return result ? *result : std::vector<ProcessInfo>{};
}

std::vector<uint32_t> pids_of(const std::vector<ProcessInfo>& processes) {
  std::vector<uint32_t> pids;
  for (const auto& p : processes) pids.push_back(p.pid);
  return pids;
}

FakeProcess other(uint32_t pid, std::string comm, std::string exe, std::string cmdline) {
  FakeProcess p;
  p.pid = pid;
  p.comm = std::move(comm);
  p.exe = std::move(exe);
  p.cmdline = std::move(cmdline);
  return p;
}

TEST(ScanTest, KeepsPythonProcessesSortedByPid) {
  FakeProcTree tree;
  tree.add(other(300, "python3", "/usr/bin/python3.11", "python3\0"s));
  tree.add(other(20, "worker", "/usr/bin/python3.12", "worker\0"s));
  tree.add(other(1000, "app", "/opt/app", "/opt/python/bin/app\0"s));
  tree.add(other(8, "pt_main_thread", "/opt/app", "/opt/venv/bin/torchrun\0--nnodes=1\0"s));
  tree.add(other(7, "bash", "/bin/bash", "bash\0-l\0"s));
  tree.add(other(9, "ipython", "/opt/ipython", "ipython\0"s));
  EXPECT_EQ(pids_of(scan(tree)), (std::vector<uint32_t>{8, 20, 300, 1000}));
}

TEST(ScanTest, ListsOnlyNumericEntries) {
  FakeProcTree tree;
  tree.write("self/stat", "1 (python3) S 0\n");
  tree.write("12a/stat", "12 (python3) S 0\n");
  tree.write("uptime", "10.0 10.0\n");
  EXPECT_TRUE(scan(tree).empty());
}

TEST(ScanTest, ProcessesThatVanishMidScanAreSkipped) {
  FakeProcTree tree;
  FakeProcess empty_dir{.pid = 40, .has_stat = false};
  FakeProcess no_cmdline{.pid = 41, .cmdline = std::nullopt};
  FakeProcess no_environ{.pid = 42, .environ = std::nullopt};
  for (const auto& p : {empty_dir, no_cmdline, no_environ, FakeProcess{.pid = 43}}) tree.add(p);
  EXPECT_EQ(pids_of(scan(tree)), std::vector<uint32_t>{43});
}

TEST(ScanTest, MissingOrUnopenableRootGivesAnEmptySnapshot) {
  const auto result = scan_processes("/nonexistent/proc-root");
  ASSERT_TRUE(result.has_value());
  EXPECT_TRUE(result->empty());
}

TEST(ScanTest, FieldsFromStatLinksAndCommandLine) {
  FakeProcTree tree;
  FakeProcess p{.pid = 50, .comm = "py) (x \xFF", .ppid = 77, .rss = 25};
  p.exe = "/home/ana/proj/.venv/bin/python3";
  p.cmdline = "/home/ana/proj/.venv/bin/python3\0-c\0\0bad\xFE\0last"s;
  p.environ = "RANK=1\0WORLD_SIZE=2\0PATH=/bin\0"s;
  tree.add(p);
  const auto processes = scan(tree);
  ASSERT_EQ(processes.size(), 1u);
  const ProcessInfo& got = processes[0];
  EXPECT_EQ(got.name, "py) (x \xEF\xBF\xBD");
  EXPECT_EQ(got.parent_pid, 77u);
  EXPECT_EQ(got.exe, PathOrMessage::path("/home/ana/proj/.venv/bin/python3"));
  EXPECT_EQ(got.cwd, PathOrMessage::path("/work"));
  EXPECT_EQ(got.cmd, (std::vector<std::string>{"/home/ana/proj/.venv/bin/python3", "-c", "",
                                               "bad\xEF\xBF\xBD", "last"}));
  EXPECT_EQ(got.torch.rank, "1");
  EXPECT_EQ(got.torch.world_size, "2");
  EXPECT_EQ(got.torch.master_addr, std::nullopt);
  EXPECT_EQ(got.runtime, classify_path("/home/ana/proj/.venv/bin/python3"));
  EXPECT_EQ(got.memory, 25u * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE)));
}

TEST(ScanTest, ReplacedInterpreterIsClassifiedWithoutTheKernelsMark) {
  FakeProcTree tree;
  FakeProcess p{.pid = 70, .exe = "/usr/bin/python3.11 (deleted)"};
  p.cmdline = "/usr/bin/python3.11\0"s;
  tree.add(p);
  const auto processes = scan(tree);
  ASSERT_EQ(processes.size(), 1u);
  EXPECT_EQ(processes[0].exe, PathOrMessage::path("/usr/bin/python3.11"));
  EXPECT_TRUE(processes[0].exe_replaced);
  EXPECT_EQ(processes[0].runtime.version, "3.11");
}

TEST(ScanTest, UnreadableLinksBecomeMessagesAndParentZeroIsAbsent) {
  FakeProcTree tree;
  FakeProcess p{.pid = 60, .ppid = 0, .exe = std::nullopt, .cwd = std::nullopt};
  p.cmdline = "python3.11\0"s;
  tree.add(p);
  const auto processes = scan(tree);
  ASSERT_EQ(processes.size(), 1u);
  EXPECT_EQ(processes[0].exe, PathOrMessage::message(kExeUnreadable));
  EXPECT_EQ(processes[0].cwd, PathOrMessage::message(kCwdUnreadable));
  EXPECT_EQ(processes[0].parent_pid, std::nullopt);
  EXPECT_EQ(format_runtime(processes[0].runtime),
            "unknown 3.11 - unknown (process executable was not readable)");
}

TEST(ScanTest, CpuIsLifetimeAverageWithOneDecimal) {
  const auto ticks = static_cast<uint64_t>(::sysconf(_SC_CLK_TCK));
  FakeProcTree tree;
  tree.write("uptime", "30.00 55.00\n");
  tree.add({.pid = 1, .utime = ticks, .stime = ticks, .starttime = 10 * ticks});  // 2 s of 20
  tree.add({.pid = 2, .utime = ticks});                                           // 1 s of 30
  tree.add({.pid = 3, .utime = ticks, .starttime = 40 * ticks});  // starts after "now"
  tree.add({.pid = 4, .utime = ticks, .starttime = 30 * ticks});  // no time elapsed yet
  const auto processes = scan(tree);
  ASSERT_EQ(processes.size(), 4u);
  EXPECT_EQ(fmt::format("{:.1f}", processes[0].cpu), "10.0");
  EXPECT_EQ(fmt::format("{:.1f}", processes[1].cpu), "3.3");
  EXPECT_EQ(fmt::format("{:.1f}", processes[2].cpu), "0.0");
  EXPECT_EQ(fmt::format("{:.1f}", processes[3].cpu), "0.0");
}

TEST(ScanTest, CpuIsZeroWithoutUptime) {
  FakeProcTree tree;
  tree.add({.pid = 1, .utime = 500});
  const auto processes = scan(tree);
  ASSERT_EQ(processes.size(), 1u);
  EXPECT_EQ(fmt::format("{:.1f}", processes[0].cpu), "0.0");
}

}  // namespace
}  // namespace stackpeek::discovery
