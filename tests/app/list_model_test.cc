#include "app/list_model.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/app_fixture.h"
#include "app/runs.h"
#include "discovery/groups.h"

namespace stackpeek::app {
namespace {

namespace fs = std::filesystem;
using discovery::build_groups;
using discovery::ProcessGroup;
using discovery::ProcessInfo;
using tasks::output_files;

const fs::path kPySpy = "/opt/venv/bin/py-spy";

ProcessInfo proc(uint32_t pid, std::optional<uint32_t> parent, std::vector<std::string> cmd) {
  return testing::python_process(pid, parent, std::move(cmd));
}

ProcessInfo rank(uint32_t pid, std::optional<std::string> rank_value,
                 std::optional<std::string> world = "4") {
  ProcessInfo info = proc(pid, 100, {"python3", "train.py", "--epochs", "10"});
  info.torch.rank = std::move(rank_value);
  info.torch.local_rank = info.torch.rank;
  info.torch.world_size = std::move(world);
  info.torch.master_addr = "10.0.0.1";
  info.torch.master_port = "29500";
  return info;
}

TEST(RowsTest, EmptyGroupsGiveNoRows) { EXPECT_TRUE(list_rows({}).empty()); }

TEST(RowsTest, GroupRowThenMemberRowsWhenExpanded) {
  const auto groups = build_groups({rank(104, "1"), rank(3, "0")});
  const auto rows = list_rows(groups);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].text, "v train.py --epochs 10 [torch/ddp] 2 procs");
  EXPECT_EQ(rows[0].kind, ListRow::Kind::Group);
  EXPECT_EQ(rows[1].text, "  pid 3       rank 0/4 local 0 python3 train.py --epochs 10");
  EXPECT_EQ(rows[2].text, "  pid 104     rank 1/4 local 1 python3 train.py --epochs 10");
  EXPECT_EQ(rows[2].kind, ListRow::Kind::Process);
  EXPECT_EQ(rows[2].member_index, 1u);
}

TEST(RowsTest, CollapsedGroupsSingleMembersNamesAndLongPids) {
  ProcessInfo nameless = proc(12345678, {}, {});
  nameless.name = "python3";
  auto groups = build_groups({nameless, proc(9, {}, {"python3", "a.py"})});
  const auto rows = list_rows(groups, {groups[1].key});
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].text, "v a.py [process] 1 procs");
  EXPECT_EQ(rows[1].text, "  pid 9       python3 a.py");
  EXPECT_EQ(rows[2].text, "> python3 [process] 1 procs");
  EXPECT_EQ(rows[2].group_index, 1u);
}

TEST(RowsTest, GroupUnchangedForMoreThan30SecondsIsTagged) {
  const auto groups = build_groups({rank(3, "0"), proc(9, {}, {"python3", "a.py"})});
  const UnchangedGroups unchanged = {{groups[0].key, std::chrono::seconds(30)},
                                     {groups[1].key, std::chrono::seconds(330)}};
  const auto rows = list_rows(groups, {}, {}, unchanged);
  EXPECT_EQ(rows[0].text, "v a.py [process] 1 procs");
  EXPECT_EQ(rows[2].text, "v train.py --epochs 10 (unchanged 5m) [process] 1 procs");
  EXPECT_EQ(unchanged_tag(std::chrono::seconds(31)), "unchanged 31s");
  EXPECT_EQ(unchanged_tag(std::chrono::seconds(7300)), "unchanged 2h");
}

TEST(RowsTest, TheScreenMayShortenTheCommandAndTheLabelOnly) {
  ProcessInfo member = rank(5, "0", "1");
  member.cmd = {"python3", std::string(100, 'x')};
  const auto rows = list_rows(build_groups({member}));
  ASSERT_EQ(rows.size(), 2u);
  const std::string command = "python3 " + std::string(100, 'x');
  EXPECT_EQ(rows[1].text, "  pid 5       rank 0/1 local 0 " + command);
  EXPECT_EQ(rows[1].text.substr(rows[1].fit_begin, rows[1].fit_end - rows[1].fit_begin), command);
  EXPECT_EQ(rows[0].text.substr(rows[0].fit_begin, rows[0].fit_end - rows[0].fit_begin),
            build_groups({member})[0].label);
}

// A `python -c` script spans lines: each row stays one line, its breaks written out.
TEST(RowsTest, LineBreaksInACommandLineAreWrittenOut) {
  const auto groups = build_groups({proc(7, {}, {"python3", "-c", "import time\ntime.sleep(9)"})});
  const auto rows = list_rows(groups);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].text, "v -c import time\\ntime.sleep(9) [process] 1 procs");
  EXPECT_EQ(rows[1].text, "  pid 7       python3 -c import time\\ntime.sleep(9)");
}

TEST(ResolveRowTest, GroupAndMemberRowsAndStaleIndices) {
  const auto groups = build_groups({rank(104, "1"), rank(3, "0")});
  const auto rows = list_rows(groups);
  const auto group_row = resolve_row(groups, rows, 0);
  ASSERT_TRUE(group_row);
  EXPECT_EQ(group_row->group, &groups[0]);
  EXPECT_EQ(group_row->member, nullptr);
  EXPECT_EQ(group_row->selection(), Selection::group(groups[0].key));
  const auto member_row = resolve_row(groups, rows, 2);
  ASSERT_TRUE(member_row);
  EXPECT_EQ(member_row->member, &groups[0].members[1]);
  EXPECT_EQ(member_row->selection(), Selection::process(104));
  EXPECT_FALSE(resolve_row(groups, rows, 3));
  // Rows of groups that are gone resolve to nothing.
  EXPECT_FALSE(resolve_row({}, rows, 0));
  auto fewer = groups;
  fewer[0].members.pop_back();
  EXPECT_FALSE(resolve_row(fewer, rows, 2));
}

std::vector<ProcessGroup> two_groups() {
  ProcessGroup torch;
  torch.key = "torch:10.0.0.1:29500";
  torch.label = "torch train.py --epochs 10";
  ProcessGroup tree;
  tree.key = "tree:812";
  tree.label = "serve.py";
  return {torch, tree};
}

TEST(TargetLabelTest, NamesProcessByPidAndGroupByLabelOrKey) {
  const auto groups = two_groups();
  EXPECT_EQ(selection_target(groups, Selection::process(4242)).label, "pid-4242");
  EXPECT_EQ(selection_target(groups, Selection::group("tree:812")).label, "serve.py");
  // A group that vanished in a refresh is still named, after its key.
  EXPECT_EQ(selection_target(groups, Selection::group("tree:999")).label, "tree:999");
  // Keys compare whole: a prefix is not a match.
  EXPECT_EQ(selection_target(groups, Selection::group("tree:81")).label, "tree:81");
}

ProcessInfo member(uint32_t pid) {
  ProcessInfo info;
  info.pid = pid;
  return info;
}

std::vector<ProcessGroup> sample_groups() {
  ProcessGroup empty;
  empty.key = "empty";
  ProcessGroup three;
  three.key = "tree:10";
  three.members = {member(30), member(10), member(20)};
  ProcessGroup shadow;  // a later group with the same key is never used
  shadow.key = "tree:10";
  shadow.members = {member(99)};
  return {empty, three, shadow};
}

TEST(CommandsForTargetTest, ProcessGroupAndMissingKey) {
  const auto groups = sample_groups();
  const auto one = commands_for_target(selection_target(groups, Selection::process(5)), kPySpy,
                                       SpyMode::Dump, false, {});
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].args[2], "5");

  report::ReportDir dir;
  dir.raw_directory = "/rep/raw";
  const auto record = commands_for_target(selection_target(groups, Selection::group("tree:10")),
                                          kPySpy, SpyMode::Record, true, dir);
  ASSERT_EQ(record.size(), 3u);
  EXPECT_EQ(record[0].args.back(), "30");
  EXPECT_EQ(record[1].args.back(), "10");
  EXPECT_EQ(record[2].args.back(), "20");
  for (const auto& command : record) EXPECT_TRUE(command.use_sudo);
  EXPECT_EQ(
      output_files(record),
      (std::vector<fs::path>{"/rep/raw/pid-30.svg", "/rep/raw/pid-10.svg", "/rep/raw/pid-20.svg"}));

  const auto dump = commands_for_target(selection_target(groups, Selection::group("tree:10")),
                                        kPySpy, SpyMode::Dump, false, {});
  EXPECT_EQ(dump.size(), 3u);
  EXPECT_TRUE(output_files(dump).empty());

  EXPECT_TRUE(commands_for_target(selection_target(groups, Selection::group("gone")), kPySpy,
                                  SpyMode::Dump, false, {})
                  .empty());
  EXPECT_TRUE(commands_for_target(selection_target(groups, Selection::group("empty")), kPySpy,
                                  SpyMode::Dump, false, {})
                  .empty());
}

}  // namespace
}  // namespace stackpeek::app
