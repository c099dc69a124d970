#include "stacks/stack_compare.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "stacks/comparison_text.h"
#include "stacks/stack_history.h"

namespace stackpeek::stacks {
namespace {

using Lines = std::vector<std::string>;
using std::chrono::seconds;
using Clock = StackHistory::Clock;

const Clock::time_point kT0 = Clock::time_point(std::chrono::hours(1000));

// A dump with one thread per entry of `threads`: its name and its frames.
struct ThreadShape {
  std::optional<std::string> name;
  std::vector<std::string> frames;  // "function|file|line" ("" line: none)
};

StackFrame frame_of(const std::string& text) {
  const size_t a = text.find('|');
  const size_t b = text.find('|', a + 1);
  StackFrame frame{text.substr(0, a), text.substr(a + 1, b - a - 1), std::nullopt};
  const std::string line = b == std::string::npos ? "" : text.substr(b + 1);
  if (!line.empty()) frame.line = static_cast<uint32_t>(std::stoul(line));
  return frame;
}

ProcessDump make_dump(const std::vector<ThreadShape>& threads, uint32_t first_id = 100) {
  ProcessDump dump{"Process 1: python3 train.py", "Python v3.12.3 (/usr/bin/python3)", {}};
  for (const auto& shape : threads) {
    ThreadStack thread{std::to_string(first_id++), shape.name, ThreadState::Active, {}};
    for (const auto& f : shape.frames) thread.frames.push_back(frame_of(f));
    dump.threads.push_back(std::move(thread));
  }
  return dump;
}

const std::vector<ThreadShape> kAllReduce = {
    {"MainThread",
     {"all_reduce|torch/distributed/distributed_c10d.py|2050",
      "wrapper|torch/distributed/c10d_logger.py|83", "train_step|train.py|41", "main|train.py|12",
      "<module>|train.py|120"}},
    {"Thread-1", {"wait|threading.py|331"}}};
const std::vector<ThreadShape> kDataLoader = {
    {"MainThread",
     {"_next_data|torch/utils/data/dataloader.py|1329",
      "__next__|torch/utils/data/dataloader.py|631", "train_step|train.py|38", "main|train.py|12",
      "<module>|train.py|120"}},
    {"Thread-1", {"wait|threading.py|331"}}};

DumpResult ok(uint32_t pid, std::optional<uint32_t> rank, ProcessDump dump, std::string host = {}) {
  DumpResult result;
  result.host = std::move(host);
  result.pid = pid;
  result.rank = rank;
  result.dump = std::move(dump);
  return result;
}

DumpResult failed(uint32_t pid, std::optional<uint32_t> rank, std::string error) {
  DumpResult result;
  result.pid = pid;
  result.rank = rank;
  result.status = DumpStatus::Failed;
  result.error = std::move(error);
  return result;
}

DumpResult unparsed(uint32_t pid, std::optional<uint32_t> rank, std::string raw) {
  DumpResult result;
  result.pid = pid;
  result.rank = rank;
  result.raw = std::move(raw);
  return result;
}

// Eight ranks, pids 4239 + rank; rank 3 is in its data loader.
std::vector<DumpResult> eight_ranks() {
  std::vector<DumpResult> results;
  for (uint32_t rank = 0; rank < 8; ++rank) {
    results.push_back(ok(4239 + rank, rank, make_dump(rank == 3 ? kDataLoader : kAllReduce)));
  }
  return results;
}

TEST(StackCompareTest, EightRanksOneOddOneOut) {
  // Input order does not matter.
  auto results = eight_ranks();
  std::swap(results[0], results[5]);
  EXPECT_EQ(
      compare_stack_lines(results, nullptr, kT0),
      (Lines{"Stacks compared: 8 processes, 2 distinct", "1 process: rank 3 (pid 4242)",
             "    _next_data (torch/utils/data/dataloader.py:1329)",
             "    __next__ (torch/utils/data/dataloader.py:631)", "    train_step (train.py:38)",
             "    main (train.py:12)", "    <module> (train.py:120)",
             "7 processes: ranks 0-2,4-7 (pids 4239 4240 4241 4243 4244 4245 4246)",
             "    all_reduce (torch/distributed/distributed_c10d.py:2050)",
             "    wrapper (torch/distributed/c10d_logger.py:83)", "    train_step (train.py:41)",
             "    main (train.py:12)", "    <module> (train.py:120)", ""}));
}

TEST(StackCompareTest, SameStackIgnoresLinesIdsAndStates) {
  ProcessDump a = make_dump(kAllReduce, 100);
  ProcessDump b = make_dump(kAllReduce, 900);
  b.threads[0].frames[0].line = 9999;
  b.threads[1].frames[0].line = std::nullopt;
  b.threads[0].state = ThreadState::Idle;
  b.threads[1].id = "0x7F3A2B1C4740";
  EXPECT_TRUE(same_stack(a, b));
  EXPECT_EQ(stack_signature(a), stack_signature(b));
  b.process_line = "Process 2: other";
  EXPECT_TRUE(same_stack(a, b));

  auto differs = [&](auto change) {
    ProcessDump c = a;
    change(c);
    return !same_stack(a, c) && !same_stack(c, a);
  };
  EXPECT_TRUE(differs([](ProcessDump& d) { d.threads[1].name = "Thread-2"; }));
  EXPECT_TRUE(differs([](ProcessDump& d) { d.threads[1].name = std::nullopt; }));
  EXPECT_TRUE(differs([](ProcessDump& d) { d.threads[1].name = ""; }));
  EXPECT_TRUE(differs([](ProcessDump& d) { std::swap(d.threads[0], d.threads[1]); }));
  EXPECT_TRUE(differs([](ProcessDump& d) { d.threads.pop_back(); }));
  EXPECT_TRUE(differs([](ProcessDump& d) { d.threads[0].frames[1].file = "other.py"; }));
  EXPECT_TRUE(differs([](ProcessDump& d) { d.threads[0].frames[1].function = "other"; }));
  EXPECT_TRUE(differs([](ProcessDump& d) { d.threads[0].frames.pop_back(); }));
  EXPECT_TRUE(differs([](ProcessDump& d) {
    // Moving a frame between threads keeps the flat list of frames.
    d.threads[1].frames.insert(d.threads[1].frames.begin(), d.threads[0].frames.back());
    d.threads[0].frames.pop_back();
  }));
  // Function and file do not run into each other.
  ProcessDump x = make_dump({{"T", {"ab|c|1"}}});
  ProcessDump y = make_dump({{"T", {"a|bc|1"}}});
  EXPECT_FALSE(same_stack(x, y));
  EXPECT_NE(stack_signature(x), stack_signature(y));
  EXPECT_TRUE(same_stack(make_dump({}), make_dump({})));
}

TEST(StackCompareTest, BucketOrderSmallestFirstThenRankThenPid) {
  const ProcessDump a = make_dump({{"MainThread", {"a|a.py|1"}}});
  const ProcessDump b = make_dump({{"MainThread", {"b|b.py|1"}}});
  const ProcessDump c = make_dump({{"MainThread", {"c|c.py|1"}}});
  const ProcessDump d = make_dump({{"MainThread", {"d|d.py|1"}}});
  // Sizes: a 3, b 1 (rank 5), c 1 (rank 2), d 1 (no rank, pid 1).
  const std::vector<DumpResult> results = {ok(10, 0, a), ok(11, 5, b),           ok(12, 1, a),
                                           ok(13, 2, c), ok(1, std::nullopt, d), ok(14, 3, a)};
  const StackComparison comparison = compare_stacks(results);
  ASSERT_EQ(comparison.buckets.size(), 4u);
  EXPECT_EQ(comparison.buckets[0].members, std::vector<size_t>{3});  // rank 2
  EXPECT_EQ(comparison.buckets[1].members, std::vector<size_t>{1});  // rank 5
  EXPECT_EQ(comparison.buckets[2].members, std::vector<size_t>{4});  // no rank
  EXPECT_EQ(comparison.buckets[3].members, (std::vector<size_t>{0, 2, 5}));
  EXPECT_EQ(comparison.distinct, 4u);
  EXPECT_EQ(comparison.processes, 6u);
  EXPECT_EQ(comparison.hosts, 0u);
  for (size_t i = 0; i < results.size(); ++i) EXPECT_TRUE(comparison.signatures[i]) << i;

  // Without ranks: by pid.
  const std::vector<DumpResult> pids = {ok(30, std::nullopt, a), ok(20, std::nullopt, b),
                                        ok(25, std::nullopt, a)};
  const auto by_pid = compare_stacks(pids);
  ASSERT_EQ(by_pid.buckets.size(), 2u);
  EXPECT_EQ(by_pid.buckets[0].members, std::vector<size_t>{1});
  EXPECT_EQ(by_pid.buckets[1].members, (std::vector<size_t>{2, 0}));
}

TEST(StackCompareTest, HeadersWithoutHosts) {
  const ProcessDump a = make_dump({{"MainThread", {"a|a.py|1"}}});
  const ProcessDump b = make_dump({{"MainThread", {"b|b.py|1"}}});
  EXPECT_EQ(compare_stack_lines({ok(18, std::nullopt, a), ok(17, std::nullopt, a)}, nullptr, kT0),
            (Lines{"Stacks compared: 2 processes, 1 distinct", "2 processes: pids 17 18",
                   "    a (a.py:1)", ""}));
  EXPECT_EQ(compare_stack_lines(
                {ok(12, std::nullopt, a), ok(11, 1, a), ok(10, 0, a), ok(9, std::nullopt, b)},
                nullptr, kT0),
            (Lines{"Stacks compared: 4 processes, 2 distinct", "1 process: pid 9", "    b (b.py:1)",
                   "3 processes: ranks 0,1 (pids 10 11), pid 12", "    a (a.py:1)", ""}));

  // Twenty ranks, every third one missing: rank pieces and pids are cut after eight.
  std::vector<DumpResult> many;
  for (uint32_t rank = 0; rank < 30; ++rank) {
    if (rank % 3 != 2) many.push_back(ok(1000 + rank, rank, a));
  }
  const Lines lines = compare_stack_lines(many, nullptr, kT0);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[1],
            "20 processes: ranks 0,1,3,4,6,7,9,10,… (pids 1000 1001 1003 1004 1006 1007 1009 "
            "1010 …)");
  // Two processes that claim one rank.
  EXPECT_EQ(compare_stack_lines({ok(5, 3, a), ok(6, 3, a)}, nullptr, kT0)[1],
            "2 processes: rank 3 (pids 5 6)");
}

TEST(StackCompareTest, FramesAreCutAfterSixAndShowEveryMembersLines) {
  std::vector<std::string> frames;
  for (int i = 1; i <= 13; ++i)
    frames.push_back("f" + std::to_string(i) + "|m.py|" + std::to_string(i));
  ProcessDump rank0 = make_dump({{"MainThread", frames}});
  ProcessDump rank1 = rank0;
  for (auto& f : rank1.threads[0].frames) f.line = *f.line + 100;
  rank1.threads[0].frames[1].line = 2;
  rank1.threads[0].frames[2].line.reset();
  std::vector<DumpResult> results = {ok(8, 1, rank1), ok(7, 0, rank0)};
  const Lines lines = compare_stack_lines(results, nullptr, kT0);
  EXPECT_EQ(
      lines,
      (Lines{"Stacks compared: 2 processes, 1 distinct", "2 processes: ranks 0,1 (pids 7 8)",
             "    f1 (m.py:1,101)", "    f2 (m.py:2)", "    f3 (m.py:3)", "    f4 (m.py:4,104)",
             "    f5 (m.py:5,105)", "    f6 (m.py:6,106)", "    … 7 more frames", ""}));
  // Many lines read as a range.
  for (uint32_t rank = 2; rank < 6; ++rank) {
    ProcessDump more = rank0;
    more.threads[0].frames[0].line = 10 * rank;
    results.push_back(ok(100 + rank, rank, more));
  }
  EXPECT_EQ(compare_stack_lines(results, nullptr, kT0)[2], "    f1 (m.py:1-101)");

  frames.resize(7);
  EXPECT_EQ(compare_stack_lines({ok(7, 0, make_dump({{"MainThread", frames}})),
                                 ok(8, 1, make_dump({{"MainThread", frames}}))},
                                nullptr, kT0)[8],
            "    … 1 more frame");
  frames.resize(6);
  EXPECT_EQ(compare_stack_lines({ok(7, 0, make_dump({{"MainThread", frames}})),
                                 ok(8, 1, make_dump({{"MainThread", frames}}))},
                                nullptr, kT0)
                .size(),
            9u);
  // Native frames without a line, a first thread without frames, no threads at all.
  EXPECT_EQ(compare_stack_lines({ok(7, 0, make_dump({{"T", {"native|libc.so.6|"}}})),
                                 ok(8, 1, make_dump({{std::nullopt, {}}, {"T", {"x|x.py|1"}}})),
                                 ok(9, 2, make_dump({}))},
                                nullptr, kT0),
            (Lines{"Stacks compared: 3 processes, 3 distinct", "1 process: rank 0 (pid 7)",
                   "    native (libc.so.6)", "1 process: rank 1 (pid 8)", "    (no frames)",
                   "1 process: rank 2 (pid 9)", "    (no threads)", ""}));
}

TEST(StackCompareTest, WidthKeepsEveryLineOnOneRow) {
  // Seven-digit pids, a wide function name in a long absolute path, a long error.
  const ProcessDump slow = make_dump({{"MainThread",
                                       {"読み込み|/home/ana/.venv/lib/python3.12/site-packages/"
                                        "torch/utils/data/loader.py|1329"}}});
  const ProcessDump stuck = make_dump({{"MainThread", {"all_reduce|c10d.py|2050"}}});
  std::vector<DumpResult> results = {ok(4194320, 3, slow),
                                     failed(4194000, std::nullopt, std::string(120, 'e'))};
  for (uint32_t rank = 0; rank < 12; ++rank) {
    if (rank != 3) results.push_back(ok(4194290 + rank, rank, stuck));
  }
  StackHistory history;
  compare_stack_lines(results, &history, kT0);
  EXPECT_EQ(compare_stack_lines(results, &history, kT0 + seconds(125), 78),
            (Lines{"Stacks compared: 13 processes, 2 distinct, 1 failed",
                   "1 process: rank 3 (pid 4194320), unchanged for 125 s",
                   "    読み込み (/home/ana/.venv/lib/python…ages/torch/utils/data/loader.py:1329)",
                   "1 process: pid 4194000, dump failed",
                   "    " + std::string(36, 'e') + "…" + std::string(37, 'e'),
                   "11 processes: ranks 0-2,4-11 (pids 4194290 4194291 …), unchanged for 125 s",
                   "    all_reduce (c10d.py:2050)", ""}));
  // Without a width the same header lists eight pids.
  EXPECT_TRUE(compare_stack_lines(results, nullptr, kT0)[5].ends_with("4194298 …)"));
}

TEST(StackCompareTest, FailedAndUnparsedDumpsAreBucketsOfTheirOwn) {
  const ProcessDump a = make_dump({{"MainThread", {"a|a.py|1"}}});
  const std::vector<DumpResult> results = {
      ok(10, 0, a),
      failed(15, 5, "\n  Error: Failed to find python version from target process  \nCaused by:\n"),
      ok(11, 1, a),
      failed(16, 6, "Error: Failed to find python version from target process\n"),
      unparsed(13, 3, "\x1b[1mProcess 13\x1b[0m: python3 x.py\r\nsomething new\n"),
      failed(17, std::nullopt, ""),
      unparsed(14, 4, " \n"),
  };
  const StackComparison comparison = compare_stacks(results);
  EXPECT_EQ(comparison.distinct, 1u);
  EXPECT_EQ(comparison.failed, 2u);
  EXPECT_EQ(comparison.unparsed, 2u);
  EXPECT_FALSE(comparison.signatures[1]);
  EXPECT_FALSE(comparison.signatures[4]);
  EXPECT_EQ(comparison_lines(comparison, results),
            (Lines{"Stacks compared: 7 processes, 1 distinct, 3 failed, 2 not parsed",
                   "1 process: rank 3 (pid 13), stack not parsed", "    Process 13: python3 x.py",
                   "1 process: rank 4 (pid 14), stack not parsed", "    (no output)",
                   "1 process: pid 17, dump failed", "    (no error message)",
                   "2 processes: ranks 0,1 (pids 10 11)", "    a (a.py:1)",
                   "2 processes: ranks 5,6 (pids 15 16), dump failed",
                   "    Error: Failed to find python version from target process", ""}));
  // Failures with one first line are one bucket however many; the line wraps at spaces.
  std::vector<DumpResult> eight;
  for (uint32_t rank = 0; rank < 8; ++rank) {
    eight.push_back(failed(20 + rank, rank, "Error: Failed to find python version from target\n"));
  }
  const Lines wrapped = compare_stack_lines(eight, nullptr, kT0, 30);
  EXPECT_EQ(wrapped[0], "Stacks compare…tinct, 8 failed");
  EXPECT_EQ(Lines(wrapped.begin() + 2, wrapped.end()),
            (Lines{"    Error: Failed to find", "    python version from target", ""}));
  // A py-spy ended by a signal says so.
  const DumpResult crashed = dump_result_from_record(
      RunRecord{"py-spy dump --pid 5", "", "", RunStatus::Failure, std::nullopt, 11}, 5, 0);
  EXPECT_EQ(compare_stack_lines({crashed}, nullptr, kT0)[2],
            "    py-spy crashed: signal 11 (SIGSEGV)");
}

TEST(StackCompareTest, BucketsThatShareTheirFirstThreadShowWhereTheyDiffer) {
  const ThreadShape wait = {"MainThread", {"wait|threading.py|320", "main|train.py|10"}};
  const ProcessDump plain = make_dump({wait, {"Thread-2", {"recv|socket.py|55"}}});
  const ProcessDump other = make_dump({wait, {"Thread-2", {"send|socket.py|60"}}});
  ProcessDump renamed = plain;
  renamed.threads[0].name = "Thread-1";
  ProcessDump extra = plain;
  extra.threads.push_back(extra.threads[1]);
  const Lines lines = compare_stack_lines(
      {ok(1, 0, plain), ok(2, 1, plain), ok(3, 2, other), ok(4, 3, renamed), ok(5, 4, extra)},
      nullptr, kT0);
  EXPECT_EQ(lines, (Lines{"Stacks compared: 5 processes, 4 distinct",
                          "1 process: rank 2 (pid 3)",
                          "  thread 1 of 2: \"MainThread\"",
                          "    wait (threading.py:320)",
                          "    main (train.py:10)",
                          "  thread 2 of 2: \"Thread-2\"",
                          "    send (socket.py:60)",
                          "1 process: rank 3 (pid 4)",
                          "  thread 1 of 2: \"Thread-1\"",
                          "    wait (threading.py:320)",
                          "    main (train.py:10)",
                          "1 process: rank 4 (pid 5)",
                          "  thread 1 of 3: \"MainThread\"",
                          "    wait (threading.py:320)",
                          "    main (train.py:10)",
                          "  thread 2 of 3: \"Thread-2\"",
                          "    recv (socket.py:55)",
                          "  thread 3 of 3: \"Thread-2\"",
                          "    recv (socket.py:55)",
                          "2 processes: ranks 0,1 (pids 1 2)",
                          "  thread 1 of 2: \"MainThread\"",
                          "    wait (threading.py:320)",
                          "    main (train.py:10)",
                          "  thread 2 of 2: \"Thread-2\"",
                          "    recv (socket.py:55)",
                          "  no thread 3: 2 threads only",
                          ""}));
  // A difference below the six frames shown moves the window down to it.
  std::vector<std::string> deep;
  for (int i = 0; i < 9; ++i) deep.push_back("f" + std::to_string(i) + "|m.py|1");
  const ProcessDump a = make_dump({{"MainThread", deep}});
  deep[7] = "g|m.py|1";
  const Lines window =
      compare_stack_lines({ok(1, 0, a), ok(2, 1, make_dump({{"MainThread", deep}}))}, nullptr, kT0);
  EXPECT_EQ(Lines(window.begin() + 1, window.begin() + 11),
            (Lines{"1 process: rank 0 (pid 1)", "  thread 1 of 1: \"MainThread\"",
                   "    … 2 inner frames", "    f2 (m.py:1)", "    f3 (m.py:1)", "    f4 (m.py:1)",
                   "    f5 (m.py:1)", "    f6 (m.py:1)", "    f7 (m.py:1)", "    … 1 more frame"}));
}

TEST(StackCompareTest, MissingRanksOfTheWorldAreNamed) {
  const ProcessDump a = make_dump(kAllReduce);
  auto ranked = [&](uint32_t pid, uint32_t rank, uint32_t world, std::string host = {}) {
    DumpResult result = ok(pid, rank, a, std::move(host));
    result.world_size = world;
    return result;
  };
  EXPECT_EQ(
      compare_stack_lines({ranked(1, 0, 4), ranked(2, 1, 4), ranked(4, 3, 4)}, nullptr, kT0)[0],
      "Stacks compared: 3 processes, 1 distinct, missing ranks 2");
  // Across hosts; a failed dump is not missing.
  DumpResult gone = failed(9, 9, "Error: gone");
  gone.world_size = 16;
  std::vector<DumpResult> job = {gone};
  for (uint32_t rank = 0; rank < 8; ++rank) job.push_back(ranked(rank, rank, 16, "node1"));
  job.push_back(ranked(10, 10, 16, "node2"));
  EXPECT_TRUE(compare_stack_lines(job, nullptr, kT0)[0].ends_with(", missing ranks 8,11-15"));
  // Nothing missing, or two jobs of different sizes: nothing said.
  EXPECT_TRUE(compare_stacks({ranked(1, 0, 2), ranked(2, 1, 2)}).missing_ranks.empty());
  EXPECT_TRUE(compare_stacks({ranked(1, 0, 2), ranked(2, 0, 3)}).missing_ranks.empty());
}

TEST(StackCompareTest, HostsChangeTheNaming) {
  const ProcessDump a = make_dump({{"MainThread", {"a|a.py|1"}}});
  const ProcessDump b = make_dump({{"MainThread", {"b|b.py|1"}}});
  std::vector<DumpResult> results;
  for (uint32_t rank = 0; rank < 16; ++rank) {
    results.push_back(ok(100 + rank % 8, rank, rank == 11 ? b : a, rank < 8 ? "node1" : "node2"));
  }
  results.push_back(ok(4242, std::nullopt, b, "web1"));
  results.push_back(ok(4243, std::nullopt, b, "web1"));
  const Lines lines = compare_stack_lines(results, nullptr, kT0);
  EXPECT_EQ(lines, (Lines{"Stacks compared: 18 processes on 3 hosts, 2 distinct",
                          "3 processes: node2:11 web1:pids 4242,4243", "    b (b.py:1)",
                          "15 processes: node1:0-7 node2:8-10,12-15", "    a (a.py:1)", ""}));
  const Lines one_host = compare_stack_lines({ok(1, 0, a, "h"), ok(2, 1, a, "h")}, nullptr, kT0);
  EXPECT_EQ(one_host[0], "Stacks compared: 2 processes on 1 host, 1 distinct");
  EXPECT_EQ(one_host[1], "2 processes: h:0,1");
  // A result without a host among named ones.
  EXPECT_EQ(compare_stack_lines({ok(1, 0, a, "h"), ok(2, std::nullopt, a)}, nullptr, kT0)[1],
            "2 processes: h:0 ?:pid 2");
  // Names are cut after eight, and say how many more there are.
  std::vector<DumpResult> spread;
  for (uint32_t i = 0; i < 10; ++i)
    spread.push_back(ok(i, std::nullopt, a, "n" + std::to_string(i)));
  EXPECT_EQ(compare_stack_lines(spread, nullptr, kT0)[1],
            "10 processes: n0:pid 0 n1:pid 1 n2:pid 2 n3:pid 3 n4:pid 4 n5:pid 5 n6:pid 6 n7:pid 7 "
            "… 2 more");
}

TEST(StackCompareTest, CompactRanges) {
  EXPECT_EQ(compact_ranges({}), "");
  EXPECT_EQ(compact_ranges({7}), "7");
  EXPECT_EQ(compact_ranges({3, 4}), "3,4");
  EXPECT_EQ(compact_ranges({0, 1, 2, 4, 5, 6, 7}), "0-2,4-7");
  EXPECT_EQ(compact_ranges({7, 5, 6, 5, 0}), "0,5-7");
  EXPECT_EQ(compact_ranges({0, 2, 4, 6}, 2), "0,2,…");
  EXPECT_EQ(compact_ranges({0, 2, 4, 6}, 4), "0,2,4,6");
  EXPECT_EQ(compact_ranges({4294967294u, 4294967295u, 0}), "0,4294967294,4294967295");
  EXPECT_EQ(compact_ranges({4294967293u, 4294967294u, 4294967295u}), "4294967293-4294967295");
}

TEST(StackCompareTest, DumpResultFromRecord) {
  const std::string text =
      "Process 5: python3 a.py\nPython v3.12.3 (/usr/bin/python3)\n\n"
      "Thread 5 (idle): \"MainThread\"\n    main (a.py:3)\n";
  const DumpResult good =
      dump_result_from_record(RunRecord{"py-spy dump --pid 5", text, "", RunStatus::Success}, 5, 2);
  EXPECT_EQ(good.status, DumpStatus::Ok);
  EXPECT_EQ(good.pid, 5u);
  EXPECT_EQ(good.rank, 2u);
  EXPECT_EQ(good.host, "");
  ASSERT_TRUE(good.dump);
  EXPECT_EQ(good.dump->threads.size(), 1u);
  EXPECT_EQ(good.raw, "");

  const DumpResult odd = dump_result_from_record(
      RunRecord{"py-spy dump --pid 5", text + "\xEF\xBF\xBD\n", "", RunStatus::Success}, 5,
      std::nullopt, "node1");
  EXPECT_EQ(odd.status, DumpStatus::Ok);
  EXPECT_FALSE(odd.dump);
  EXPECT_EQ(odd.raw, text + "\xEF\xBF\xBD\n");
  EXPECT_EQ(odd.host, "node1");

  const DumpResult bad = dump_result_from_record(
      RunRecord{"py-spy dump --pid 5", "", "Error: gone\n", RunStatus::Failure}, 5, std::nullopt);
  EXPECT_EQ(bad.status, DumpStatus::Failed);
  EXPECT_EQ(bad.error, "Error: gone\n");
  EXPECT_FALSE(bad.dump);

  const DumpResult quiet = dump_result_from_record(
      RunRecord{"py-spy dump --pid 5", "partial\n", " \n", RunStatus::SpawnFailed}, 5, 1);
  EXPECT_EQ(quiet.status, DumpStatus::Failed);
  EXPECT_EQ(quiet.error, "partial\n");
}

TEST(StackHistoryTest, ObserveCountsWholeSecondsSinceFirstSeen) {
  StackHistory history;
  const ProcessDump one = make_dump(kAllReduce);
  const ProcessDump two = make_dump(kDataLoader);
  EXPECT_EQ(history.observe(7, one, kT0), std::nullopt);
  EXPECT_EQ(history.observe(7, one, kT0 + std::chrono::milliseconds(400)), seconds(0));
  EXPECT_EQ(history.observe(7, one, kT0 + std::chrono::milliseconds(12999)), seconds(12));
  EXPECT_EQ(history.observe(7, one, kT0 + seconds(13)), seconds(13));
  // A different stack starts again.
  EXPECT_EQ(history.observe(7, two, kT0 + seconds(20)), std::nullopt);
  EXPECT_EQ(history.observe(7, two, kT0 + seconds(25)), seconds(5));
  EXPECT_EQ(history.observe(7, one, kT0 + seconds(26)), std::nullopt);
  // Time running backwards gives 0.
  EXPECT_EQ(history.observe(7, one, kT0), seconds(0));
  // Processes are told apart by host and pid.
  EXPECT_EQ(history.observe(8, one, kT0), std::nullopt);
  EXPECT_EQ(history.observe(7, one, kT0 + seconds(60), "node1"), std::nullopt);
  EXPECT_EQ(history.observe(7, one, kT0 + seconds(61), "node1"), seconds(1));
  EXPECT_EQ(history.size(), 3u);
  history.forget(7);
  EXPECT_EQ(history.size(), 2u);
  EXPECT_EQ(history.observe(7, one, kT0 + seconds(90)), std::nullopt);
  history.forget(12345);  // unknown: nothing happens
  EXPECT_EQ(history.size(), 3u);
}

TEST(StackHistoryTest, UnchangedNeedsTheExactStack) {
  StackHistory history;
  ProcessDump dump = make_dump(kAllReduce);
  EXPECT_EQ(history.observe(7, dump, kT0), std::nullopt);
  // Thread ids and states never matter.
  dump.threads[0].id = "999";
  dump.threads[1].state = ThreadState::ActiveGil;
  EXPECT_EQ(history.observe(7, dump, kT0 + seconds(2)), seconds(2));
  // One line further on is progress, although the bucket would stay the same.
  ProcessDump moved = dump;
  moved.threads[0].frames[2].line = 42;
  EXPECT_TRUE(same_stack(dump, moved));
  EXPECT_EQ(history.observe(7, moved, kT0 + seconds(4)), std::nullopt);
  // So is a thread that got a name, and a line number that appeared.
  ProcessDump renamed = moved;
  renamed.threads[1].name = "worker";
  EXPECT_EQ(history.observe(7, renamed, kT0 + seconds(5)), std::nullopt);
  ProcessDump unknown_line = renamed;
  unknown_line.threads[1].frames[0].line.reset();
  EXPECT_EQ(history.observe(7, unknown_line, kT0 + seconds(6)), std::nullopt);
  EXPECT_EQ(history.observe(7, unknown_line, kT0 + seconds(9)), seconds(3));
}

TEST(StackHistoryTest, BucketIsUnchangedWhenAllItsMembersAre) {
  StackHistory history;
  auto results = eight_ranks();
  results.push_back(failed(5000, 8, "Error: gone"));
  Lines lines = compare_stack_lines(results, &history, kT0);
  EXPECT_EQ(lines[1], "1 process: rank 3 (pid 4242)");
  EXPECT_EQ(lines[7], "1 process: rank 8 (pid 5000), dump failed");
  EXPECT_EQ(history.size(), 8u);  // the failed dump is not remembered

  // Ten seconds later, same stacks except rank 5 moved on: its bucket loses the note.
  results[5].dump->threads[0].frames[0].function = "barrier";
  lines = compare_stack_lines(results, &history, kT0 + seconds(10));
  EXPECT_EQ(lines[0], "Stacks compared: 9 processes, 3 distinct, 1 failed");
  EXPECT_EQ(lines[1], "1 process: rank 3 (pid 4242), unchanged for 10 s");
  EXPECT_EQ(lines[7], "1 process: rank 5 (pid 4244)");
  EXPECT_EQ(lines[13], "1 process: rank 8 (pid 5000), dump failed");
  EXPECT_EQ(lines[15],
            "6 processes: ranks 0-2,4,6,7 (pids 4239 4240 4241 4243 4245 4246), "
            "unchanged for 10 s");

  // Rank 5 back in all_reduce: its bucket is whole again, but rank 5 is new to its stack,
  // so the seven do not count as unchanged.
  results[5].dump->threads[0].frames[0].function = "all_reduce";
  lines = compare_stack_lines(results, &history, kT0 + seconds(15));
  EXPECT_EQ(lines[1], "1 process: rank 3 (pid 4242), unchanged for 15 s");
  EXPECT_EQ(lines[9], "7 processes: ranks 0-2,4-7 (pids 4239 4240 4241 4243 4244 4245 4246)");
  lines = compare_stack_lines(results, &history, kT0 + seconds(20));
  // The minimum over the members: rank 5 has been in all_reduce for 5 s.
  EXPECT_EQ(lines[9],
            "7 processes: ranks 0-2,4-7 (pids 4239 4240 4241 4243 4244 4245 4246), "
            "unchanged for 5 s");
}

TEST(StackHistoryTest, ApplyHistoryOnAComparison) {
  StackHistory history;
  const auto results = eight_ranks();
  StackComparison first = compare_stacks(results);
  apply_history(first, results, history, kT0);
  for (const auto& bucket : first.buckets) EXPECT_FALSE(bucket.unchanged);
  StackComparison second = compare_stacks(results);
  apply_history(second, results, history, kT0 + seconds(3));
  for (const auto& bucket : second.buckets) EXPECT_EQ(bucket.unchanged, seconds(3));
}

}  // namespace
}  // namespace stackpeek::stacks
