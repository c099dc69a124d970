#include "stacks/comparison_text.h"

#include <gtest/gtest.h>

#include "stacks/stack_merge.h"

namespace stackpeek::stacks {
namespace {

using Lines = std::vector<std::string>;

std::vector<ThreadStack> one_frame(const char* function) {
  return {ThreadStack{"1", "MainThread", ThreadState::Idle, {StackFrame{function, "m.py", 1}}}};
}

ClassMember member(std::string host, uint32_t pid, std::optional<uint32_t> rank = std::nullopt,
                   std::optional<uint32_t> world = std::nullopt, std::string job = {}) {
  ClassMember out;
  out.host = std::move(host);
  out.pid = pid;
  out.rank = rank;
  out.world_size = world;
  out.job = std::move(job);
  return out;
}

ClassMember ranked(std::string job, uint32_t rank, uint32_t world) {
  return member("vm", 100 + rank, rank, world, std::move(job));
}

TEST(ComparisonTextTest, JobsOnOneHostAreNamedApartAndPidsReadAsPids) {
  StackMerger merger;
  for (uint32_t rank = 0; rank < 4; ++rank) {
    merger.add_stack(ranked("torch:x", rank, 4), one_frame(rank == 3 ? "b" : "a"));
  }
  for (uint32_t rank = 0; rank < 3; ++rank) {
    auto member = ranked("torch:y", rank, 4);
    member.pid += 50;
    merger.add_stack(member, one_frame("a"));
  }
  merger.add_stack(member("vm", 18504), one_frame("b"));
  EXPECT_EQ(class_lines(merger.finish()),
            (Lines{"Stacks compared: 8 processes on 1 host in 2 jobs, 2 distinct, missing ranks 3 "
                   "(job 2)",
                   "Jobs: 1 torch:x, 2 torch:y", "2 processes: [job 1] vm:3 vm:pid 18504",
                   "    b (m.py:1)", "6 processes: [job 1] vm:0-2 [job 2] vm:0-2", "    a (m.py:1)",
                   ""}));
}

TEST(ComparisonTextTest, FailuresCountProcessesAndShowTheirInnermostCause) {
  StackMerger merger;
  const std::string eperm =
      "Error: Failed to get stack traces\n\nCaused by:\n    0: Failed to suspend process\n    1: "
      "EPERM: Operation not permitted\n\nStack backtrace:\n   0: x\n";
  merger.add_failed(member("h", 1), eperm);
  merger.add_failed(member("h", 2), eperm);
  merger.add_failed(member("h", 3), "Error: Failed to get stack traces\n");
  const Lines lines = class_lines(merger.finish());
  EXPECT_EQ(lines[0], "Stacks compared: 3 processes on 1 host, 0 distinct, 3 failed");
  EXPECT_EQ(Lines(lines.begin() + 3, lines.end()),
            (Lines{"2 processes: h:pids 1,2, dump failed", "    Error: Failed to get stack traces",
                   "    caused by: EPERM: Operation not permitted", ""}));
}

TEST(ComparisonTextTest, SixteenThousandRanksFitOneLinePerClass) {
  StackMerger merger;
  constexpr uint32_t kRanks = 16000;
  for (uint32_t rank = 0; rank < kRanks; ++rank) {
    char host[16];
    snprintf(host, sizeof host, "node%05u", rank / 8 + 1);
    merger.add_stack(member(host, 10 + rank % 8, rank, kRanks + 2),
                     one_frame(rank % 1000 == 3 ? "odd" : "a"));
  }
  const Lines lines = class_lines(merger.finish());
  EXPECT_EQ(lines.size(), 6u);
  EXPECT_EQ(
      lines[0],
      "Stacks compared: 16000 processes on 2000 hosts, 2 distinct, missing ranks 16000,16001");
  EXPECT_EQ(lines[1],
            "16 processes: ranks 3,1003,2003,3003,4003,5003,6003,7003,… on 16 hosts "
            "node[00001,00126,00251,00376,00501,00626,00751,00876,…]");
  EXPECT_EQ(lines[3],
            "15984 processes: ranks 0-2,4-1002,1004-2002,2004-3002,3004-4002,4004-5002,5004-6002,"
            "6004-7002,… on 2000 hosts node[00001-02000]");
}

TEST(BucketTextTest, HostRangesAsPdshWritesThem) {
  EXPECT_EQ(host_ranges({"node03", "login", "node01", "node02", "node07", "node01"}),
            "login,node[01-03,07]");
  EXPECT_EQ(host_ranges({"a1", "b2", "9"}), "9,a1,b2");
  EXPECT_EQ(host_ranges({"n1", "n3", "n5", "n7"}, 2), "n[1,3,…]");
}

}  // namespace
}  // namespace stackpeek::stacks
