#include "discovery/groups.h"

#include <gtest/gtest.h>

#include "common/grapheme.h"
#include "common/utf8.h"
#include "discovery/runtime.h"

namespace stackpeek::discovery {
namespace {

ProcessInfo proc(uint32_t pid, std::optional<uint32_t> parent, std::vector<std::string> cmd,
                 std::string cwd = "/work") {
  ProcessInfo info;
  info.pid = pid;
  info.parent_pid = parent;
  info.name = "python3";
  info.exe = PathOrMessage::path("/usr/bin/python3.11");
  info.cwd = PathOrMessage::path(std::move(cwd));
  info.cmd = std::move(cmd);
  info.runtime = detect_runtime(info.exe, info.cmd);
  return info;
}

ProcessInfo rank(uint32_t pid, std::optional<std::string> rank_value,
                 std::optional<std::string> world = "4",
                 std::optional<std::string> addr = "10.0.0.1",
                 std::optional<std::string> port = "29500") {
  ProcessInfo info = proc(pid, 100, {"python3", "train.py", "--epochs", "10"});
  info.torch.rank = std::move(rank_value);
  info.torch.local_rank = info.torch.rank;
  info.torch.world_size = std::move(world);
  info.torch.master_addr = std::move(addr);
  info.torch.master_port = std::move(port);
  return info;
}

std::vector<uint32_t> pids_of(const ProcessGroup& group) {
  std::vector<uint32_t> pids;
  for (const auto& member : group.members) pids.push_back(member.pid);
  return pids;
}

const ProcessGroup* find_group(const std::vector<ProcessGroup>& groups, std::string_view key) {
  for (const auto& group : groups) {
    if (group.key == key) return &group;
  }
  return nullptr;
}

using Pids = std::vector<uint32_t>;

TEST(TorchPassTest, RanksOfOneJobFormOneGroupInRankOrder) {
  const ProcessInfo launcher =
      proc(100, 1, {"/usr/bin/python3", "/usr/local/bin/torchrun", "--nnodes=1", "train.py"});
  const auto groups =
      build_groups({launcher, rank(104, "3"), rank(101, "2"), rank(103, "0"), rank(102, "1")});
  ASSERT_EQ(groups.size(), 2u);
  const ProcessGroup* job = find_group(groups, "torch:torch:10.0.0.1:29500:world4");
  ASSERT_NE(job, nullptr);
  EXPECT_EQ(job->kind, GroupKind::TorchDdp);
  EXPECT_EQ(pids_of(*job), (Pids{103, 102, 101, 104}));
  EXPECT_EQ(job->label, "train.py --epochs 10");
  // The launcher never joins the job; alone, it falls through to pass 3.
  EXPECT_EQ(groups[0].kind, GroupKind::Process);
  EXPECT_EQ(pids_of(groups[0]), Pids{100});
  EXPECT_EQ(groups[0].label, "/usr/local/bin/torchrun --nnodes=1 train.py");
}

TEST(TorchPassTest, KeysAreRawTextAndSingleRanksMakeNoGroup) {
  const auto groups = build_groups({rank(1, "0"), rank(2, "1", "04"), rank(3, "0", "2", {}),
                                    rank(4, "1", "2", {}), rank(5, "0", "8", "a", {})});
  EXPECT_EQ(find_group(groups, "torch:torch:10.0.0.1:29500:world4"), nullptr);
  const ProcessGroup* unknown_master =
      find_group(groups, "torch:torch:unknown-master:29500:world2");
  ASSERT_NE(unknown_master, nullptr);
  EXPECT_EQ(pids_of(*unknown_master), (Pids{3, 4}));
  for (const auto& group : groups) {
    if (&group == unknown_master) continue;
    EXPECT_NE(group.kind, GroupKind::TorchDdp) << group.key;
  }
}

TEST(TorchPassTest, UnparsableRanksOrderLastAndAmongThemselvesByPid) {
  const auto groups = build_groups({rank(1, "x"), rank(2, "+2"), rank(3, std::nullopt), rank(4, ""),
                                    rank(5, "2"), rank(6, "0")});
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(pids_of(groups[0]), (Pids{6, 2, 5, 1, 3, 4}));
}

ProcessInfo launched(uint32_t pid, uint32_t parent, Launcher launcher, std::string job,
                     uint32_t rank_value) {
  ProcessInfo info = proc(pid, parent, {"python3", "job.py"});
  info.job_rank = JobRank{launcher, std::move(job), rank_value, 4, rank_value};
  return info;
}

TEST(LauncherPassTest, OneGroupPerJobTaggedByLauncherWorkersBesideTheirRank) {
  // Steps 0 and 1 of Slurm job 42 and two Open MPI jobs; rank 1 of step 0 has a worker.
  const auto groups = build_groups(
      {launched(11, 10, Launcher::Slurm, "42.0", 1), launched(12, 10, Launcher::Slurm, "42.0", 0),
       launched(13, 11, Launcher::Slurm, "42.0", 1), launched(21, 20, Launcher::Slurm, "42.1", 0),
       launched(22, 20, Launcher::Slurm, "42.1", 1), launched(31, 30, Launcher::OpenMpi, "7", 0),
       launched(32, 30, Launcher::OpenMpi, "7", 1), launched(41, 40, Launcher::OpenMpi, "8", 0),
       launched(42, 40, Launcher::OpenMpi, "8", 1)});
  ASSERT_EQ(groups.size(), 4u);
  const ProcessGroup* step0 = find_group(groups, "srun:42.0");
  ASSERT_NE(step0, nullptr);
  EXPECT_EQ(step0->kind, GroupKind::Srun);
  EXPECT_EQ(pids_of(*step0), (Pids{12, 11, 13}));
  EXPECT_EQ(pids_of(*find_group(groups, "srun:42.1")), (Pids{21, 22}));
  EXPECT_EQ(find_group(groups, "openmpi:8")->kind, GroupKind::OpenMpi);
  EXPECT_EQ(group_kind_label(GroupKind::OpenMpi), "openmpi");
  EXPECT_TRUE(is_rank_group(GroupKind::Mpich));
  EXPECT_FALSE(is_rank_group(GroupKind::ProcessTree));
}

TEST(TreePassTest, ProcessTreeUnderOneRootGroupedByPid) {
  const std::vector<std::string> cmd = {"python3", "pool.py"};
  const auto groups = build_groups(
      {proc(13, 10, cmd), proc(10, 1, cmd, "/elsewhere"), proc(12, 10, cmd), proc(11, 10, cmd)});
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[0].key, "tree:10");
  EXPECT_EQ(groups[0].kind, GroupKind::ProcessTree);
  EXPECT_EQ(pids_of(groups[0]), (Pids{10, 11, 12, 13}));
  EXPECT_EQ(groups[0].label, "pool.py");
  EXPECT_EQ(groups[0].cwd_text, "/elsewhere");
  EXPECT_EQ(groups[0].runtime_text, "system 3.11 - /usr");
}

TEST(TreePassTest, WalksThroughAssignedRanksButNeverStartsFromThem) {
  // A data loader under rank 101 belongs with the launcher above the ranks.
  const ProcessInfo launcher = proc(100, 1, {"python3", "-m", "torch.distributed.run"});
  const auto groups =
      build_groups({launcher, rank(101, "0"), rank(102, "1"), proc(201, 101, {"python3", "l"})});
  ASSERT_EQ(groups.size(), 2u);
  const ProcessGroup* tree = find_group(groups, "tree:100");
  ASSERT_NE(tree, nullptr);
  EXPECT_EQ(pids_of(*tree), (Pids{100, 201}));
}

TEST(TreePassTest, ParentLoopsEndTheWalkAndOrphansGoToPassThree) {
  const auto groups =
      build_groups({proc(5, 6, {"python3", "a.py"}), proc(6, 5, {"python3", "b.py"}),
                    proc(7, 99, {"python3", "c.py"}), proc(8, {}, {"python3"})});
  ASSERT_EQ(groups.size(), 4u);
  for (const auto& group : groups) {
    EXPECT_EQ(group.kind, GroupKind::Process) << group.key;
    EXPECT_EQ(group.members.size(), 1u);
  }
}

TEST(RuntimePassTest, SameRuntimeFolderAndCommandShareAGroup) {
  auto venv_proc = [](uint32_t pid, std::string cwd) {
    ProcessInfo info = proc(pid, 1, {"/w/.venv/bin/python", "train.py"}, std::move(cwd));
    info.runtime = classify_path("/w/.venv/bin/python");
    return info;
  };
  const auto same = build_groups({venv_proc(30, "/w"), venv_proc(20, "/w")});
  ASSERT_EQ(same.size(), 1u);
  EXPECT_EQ(same[0].key, "runtime:/w/.venv:/w:train.py");
  EXPECT_EQ(same[0].kind, GroupKind::Runtime);
  EXPECT_EQ(pids_of(same[0]), (Pids{20, 30}));

  const auto apart = build_groups({venv_proc(30, "/w"), venv_proc(20, "/v")});
  ASSERT_EQ(apart.size(), 2u);
  EXPECT_EQ(apart[0].key, "runtime:/w/.venv:/v:train.py");
  EXPECT_EQ(apart[1].kind, GroupKind::Process);
}

TEST(RuntimePassTest, UnreadableWorkingDirectoryAppearsInTheKey) {
  ProcessInfo info = proc(7, 1, {"python3", "x.py"});
  info.cwd = PathOrMessage::message(kCwdUnreadable);
  const auto groups = build_groups({info});
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[0].key,
            "runtime:/usr:unknown (sysinfo could not read process working directory):x.py");
  EXPECT_EQ(groups[0].cwd_text, "unknown (sysinfo could not read process working directory)");
}

TEST(GroupOrderTest, ByLabelThenKeyComparedAsBytes) {
  ProcessInfo tree_parent = proc(50, 1, {"python3", "train.py"});
  ProcessInfo tree_child = proc(51, 50, {"python3", "train.py"});
  ProcessInfo rank0 = rank(60, "0", "2"), rank1 = rank(61, "1", "2");
  rank0.cmd = rank1.cmd = {"python3", "train.py"};
  const auto groups =
      build_groups({tree_parent, tree_child, rank0, rank1, proc(70, 1, {"python3", "train.py"}),
                    proc(80, 1, {"python3", "\xC3\xA9t\xC3\xA9.py"}),
                    proc(81, 1, {"python3", "Zeta.py"}), proc(82, 1, {"python3", "zeta.py"})});
  std::vector<std::string> keys;
  for (const auto& group : groups) keys.push_back(group.key);
  EXPECT_EQ(keys, (std::vector<std::string>{
                      "runtime:/usr:/work:Zeta.py", "runtime:/usr:/work:train.py",
                      "torch:torch:10.0.0.1:29500:world2", "tree:50", "runtime:/usr:/work:zeta.py",
                      "runtime:/usr:/work:\xC3\xA9t\xC3\xA9.py"}));
}

TEST(GroupOrderTest, EmptySnapshotGivesNothing) { EXPECT_TRUE(build_groups({}).empty()); }

TEST(SignatureTest, DropsLaunchersAndRankOptionsKeepsSixArguments) {
  EXPECT_EQ(command_signature({"python", "-u", "train.py", "--rank", "3", "--epochs", "10"}),
            "-u train.py 3 --epochs 10");
  EXPECT_EQ(command_signature(
                {"python3", "-m", "torch.distributed.run", "--nproc_per_node", "4", "train.py"}),
            "-m torch.distributed.run --nproc_per_node 4 train.py");
  EXPECT_EQ(command_signature(
                {"uv", "run", "python", "t.py", "--local_rank=1", "a", "b", "c", "d", "e", "f"}),
            "t.py a b c d e");
  EXPECT_EQ(command_signature({"python3"}), "unknown-command");
  EXPECT_EQ(command_signature({}), "unknown-command");
}

TEST(SignatureTest, LauncherTokens) {
  for (const char* arg : {"python", "python3.12", "/usr/bin/python3", "/opt/venv/bin/python", "uv",
                          "RUN", "C:\\Py\\PYTHON.EXE", "/x/python3-config"}) {
    EXPECT_TRUE(is_launcher_token(arg)) << arg;
  }
  for (const char* arg : {"-m", "train.py", "--epochs", "/usr/bin/python2.7", "uvx", "runner"}) {
    EXPECT_FALSE(is_launcher_token(arg)) << arg;
  }
}

TEST(LabelTest, SignatureOrNameFallback) {
  EXPECT_EQ(group_label({}), "empty group");
  ProcessInfo bare = proc(1, {}, {"python3"});
  bare.name = "python3.11";
  EXPECT_EQ(group_label({bare}), "python3.11");
  bare.torch.local_rank = "0";  // torch-like members keep the signature
  EXPECT_EQ(group_label({bare}), "unknown-command");
}

TEST(LabelTest, LongSignatureShortenedInTheMiddle) {
  const std::string long_arg = std::string(30, 'a') + std::string(30, 'b');
  const std::string label = group_label({proc(1, {}, {"python3", long_arg})});
  EXPECT_EQ(label, std::string(23, 'a') + "…" + std::string(24, 'b'));
  EXPECT_EQ(full_group_label({proc(1, {}, {"python3", long_arg})}), long_arg);  // list --json
}

TEST(LabelTest, LabelsAreValidUtf8CutInColumnsNeverInACharacter) {
  std::string arg;
  for (int i = 0; i < 30; ++i) arg += "\xC3\xA9\xF0\x9F\x98\x80";  // 60 characters, 90 columns
  const std::string cut = group_label({proc(1, {}, {"python3", arg})});
  EXPECT_TRUE(utf8::is_valid(cut));
  EXPECT_EQ(display_width(cut), 47);  // a wide character does not fit in the 48th column
  EXPECT_TRUE(cut.starts_with("\xC3\xA9\xF0\x9F\x98\x80"));
  // Bad bytes show as the one replacement character they decode to.
  EXPECT_EQ(group_label({proc(1, {}, {"python3", "\xFF" + std::string(60, 'a')})}),
            "\xEF\xBF\xBD" + std::string(22, 'a') + "…" + std::string(24, 'a'));
}

}  // namespace
}  // namespace stackpeek::discovery
