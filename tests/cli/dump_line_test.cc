#include "cli/dump_line.h"

#include <gtest/gtest.h>

#include "cli/output.h"

namespace stackpeek::cli {
namespace {

RunRecord success(std::string stdout_text) {
  return {"py-spy dump --pid 42", std::move(stdout_text), "", RunStatus::Success, 0, std::nullopt};
}

constexpr const char* kDump =
    "Process 42: python3 train.py\n"
    "Python v3.12.3 (/usr/bin/python3.12)\n"
    "\n"
    "Thread 42 (active+gil): \"MainThread\"\n"
    "    forward (model.py:88)\n"
    "    <module> (train.py)\n";

std::string line_of(const RunRecord& record, const std::string& host = "node1") {
  const discovery::TargetProcess process{42, "torch:x", 3, 8, {"python3", "train.py"}};
  return json_line(
      dump_line_json(host, process, record, stacks::dump_result_from_record(record, 42, 3, host)));
}

TEST(DumpLineTest, RoundTripsParsedUnparsedAndFailedDumps) {
  const RunRecord parsed = success(kDump);
  auto back = parse_dump_line(line_of(parsed));
  ASSERT_TRUE(back) << back.error();
  stacks::DumpResult expected = stacks::dump_result_from_record(parsed, 42, 3, "node1");
  expected.dump->process_line.clear();  // the header lines are not part of a dump line
  expected.dump->python_line.clear();
  expected.world_size = 8;
  expected.job = "torch:x";
  EXPECT_EQ(*back, expected);
  // How long the stack stayed the same travels with it (dump --repeat).
  const discovery::TargetProcess process{42, "torch:x", 3, 8, {"python3", "train.py"}};
  back = parse_dump_line(
      json_line(dump_line_json("node1", process, parsed, expected, std::chrono::seconds(12))));
  EXPECT_EQ(back->unchanged, std::chrono::seconds(12));

  const RunRecord unparsed = success("garbage\n");
  back = parse_dump_line(line_of(unparsed));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->raw, "garbage\n");
  EXPECT_FALSE(back->dump);

  const RunRecord failed{"x", "", "", RunStatus::Failure, std::nullopt, 9};
  back = parse_dump_line(line_of(failed));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->status, stacks::DumpStatus::Failed);
  EXPECT_EQ(back->error, "py-spy crashed: signal 9 (SIGKILL)");
}

TEST(DumpLineTest, LabelNamesTheHost) {
  const std::string line = line_of(success(kDump));
  EXPECT_EQ(parse_dump_line("node7: " + line)->host, "node7");
  // srun --label's task number is no host name.
  EXPECT_EQ(parse_dump_line("   12: " + line + "\r")->host, "node1");
  EXPECT_EQ(parse_dump_line("n12: " + line)->host, "n12");
  EXPECT_EQ(parse_dump_line(line)->host, "node1");
}

TEST(DumpLineTest, TextThatIsNotUtf8IsReplacedNotFatal) {
  RunRecord record = success("\xff\xfe not a dump\n");
  record.stderr_text = "\xc3";
  const std::string line = line_of(record, "host\xff");
  const auto back = parse_dump_line(line);
  ASSERT_TRUE(back) << back.error();
  EXPECT_EQ(back->host, "host\xef\xbf\xbd");
}

TEST(DumpLineTest, RefusesLinesCompareCannotUse) {
  for (const char* line : {"", "node1:", "node1: [1]", "{\"pid\": -1, \"status\": \"Success\"}",
                           "{\"pid\": 1}", "{\"pid\": 1, \"status\": \"Success\"}",
                           "{\"pid\": 1, \"status\": \"Success\", \"threads\": [{\"id\": 1}]}",
                           "{\"pid\": 1, \"status\": \"Success\", \"raw\": 5}"}) {
    EXPECT_FALSE(parse_dump_line(line)) << line;
  }
}

}  // namespace
}  // namespace stackpeek::cli
