#include "report/report_sections.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "common/utf8.h"
#include "report/report_writer.h"
#include "report/temp_dir.h"

namespace stackpeek::report {
namespace {

namespace fs = std::filesystem;
using testing::read_text;
using testing::TempDir;
using testing::write_text;

// An icicle graph as py-spy writes it: main (t.py:9) calling `leaf` for all 100 samples.
std::string svg(const std::string& leaf) {
  return "<svg><script>var inverted = true;</script>"
         "<g><title>all (100 samples, 100%)</title><rect y=\"52\" fg:x=\"0\" fg:w=\"100\"/></g>"
         "<g><title>main (t.py:9) (100 samples, 100.00%)</title>"
         "<rect y=\"68\" fg:x=\"0\" fg:w=\"100\"/></g><g><title>" +
         leaf + " (100 samples, 100.00%)</title><rect y=\"84\" fg:x=\"0\" fg:w=\"100\"/></g></svg>";
}

RunRecord recorded(uint32_t pid) {
  return {"py-spy record --pid " + std::to_string(pid),
          "py-spy> Wrote flamegraph data to 'x'. Samples: 100 Errors: 0\n", "", RunStatus::Success,
          0};
}

class ReportSectionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = {tmp_.path(), tmp_.path() / "raw", "job", 1};
    fs::create_directories(dir_.raw_directory);
    for (uint32_t rank = 0; rank < 4; ++rank) {
      run_.target.processes.push_back(
          {10 + rank, "torch:x", rank, 4, {"python3", "t.py", "a|b", "x`y"}, "system 3.12 - /usr"});
      if (rank < 3) {
        write_text(dir_.raw_directory / ("pid-" + std::to_string(10 + rank) + ".svg"),
                   svg(rank == 2 ? "load_batch (t.py:5)" : "train_step (t.py:2)"));
        records_.push_back(recorded(10 + rank));
      }
    }
    records_.push_back({"py-spy record --pid 13", "",
                        "Error: Failed to write flamegraph: No stack counts found\n",
                        RunStatus::Failure, 1, std::nullopt, 0.3});
    run_.target.host = "node1";
    run_.duration_requested_s = 30;
    run_.duration_s = 4.2;
    run_.canceled = true;
  }

  TempDir tmp_;
  ReportDir dir_;
  RecordRun run_;
  std::vector<RunRecord> records_;
};

TEST_F(ReportSectionsTest, MarkdownTellsWhoDidWhat) {
  const RunDetails details = gather_details(dir_, records_, run_);
  EXPECT_EQ(read_text(dir_.report_directory / "profiles" / "pid-12.folded"),
            "main (t.py:9);load_batch (t.py:5) 100\n");
  const std::string md = render_markdown(dir_, {}, records_, &details);
  EXPECT_NE(md.find("- Successful commands: 3\n- Canceled after 4 s of 30\n"), std::string::npos);
  EXPECT_NE(md.find("| 12 | 2/4 | `node1` | `system 3.12 - /usr` | 100 | completed, canceled, "
                    "4.2 s of 30 s | ``python3 t.py 'a\\|b' 'x`y'`` |"),
            std::string::npos)
      << md;
  EXPECT_NE(md.find("- pid 13 (rank 3/4): The process was idle for the whole run"),
            std::string::npos);
  EXPECT_NE(md.find("| 100.0 | 100.0 | `load_batch (t.py:5)` |"), std::string::npos);
  const std::string across = md.substr(md.find("## Across the group"));
  EXPECT_LT(across.find("1 process: rank 2 (pid 12)\n    load_batch (t.py:5)\n    main (t.py:9)"),
            across.find("2 processes: ranks 0,1 (pids 10 11)"));
  EXPECT_NE(across.find("- `load_batch (t.py:5)`: rank 2 100 %, ranks 0,1 0 %\n"),
            std::string::npos)
      << across;
  EXPECT_NE(across.find("- pid 13 (rank 3/4): no profile (py-spy wrote no flame graph"),
            std::string::npos);
}

TEST_F(ReportSectionsTest, JsonAndSummaryCarryTheSameFacts) {
  const RunDetails details = gather_details(dir_, records_, run_);
  const auto json = nlohmann::json::parse(render_json(dir_, {}, records_, &details));
  const auto& rank3 = json["processes"][3];
  EXPECT_EQ(rank3["outcome"], "failed");
  EXPECT_EQ(rank3["exit_code"], 1);
  EXPECT_EQ(rank3["canceled"], true);
  EXPECT_EQ(rank3["duration_s"], 0.3);  // its own command's time, not the run's
  EXPECT_EQ(json["processes"][0]["duration_s"], 4.2);
  EXPECT_EQ(rank3["command"], nlohmann::json({"python3", "t.py", "a|b", "x`y"}));
  EXPECT_EQ(json["profiles"][2]["folded"], "profiles/pid-12.folded");
  EXPECT_EQ(json["profiles"][2]["top_functions"][0],
            nlohmann::json({{"function", "load_batch (t.py:5)"}, {"own", 100}, {"total", 100}}));
  EXPECT_TRUE(json["profiles"][3]["samples"].is_null());
  const auto lines = summary_lines(details.facts, 40);
  EXPECT_EQ(lines[0], "Heaviest stacks:");
  for (const auto& line : lines) EXPECT_LE(utf8::char_count(line), 40u) << line;
}

RunRecord final_dump(uint32_t pid, const std::string& innermost) {
  return {"py-spy dump --pid " + std::to_string(pid),
          "Process " + std::to_string(pid) +
              ": python3 t.py\nPython v3.12.3 (/usr/bin/python3)\n\nThread 1 (idle): "
              "\"MainThread\"\n    " +
              innermost + "\n    main (t.py:9)\n",
          "", RunStatus::Success, 0};
}

// A hung job: ranks 0 and 1 idle without a profile; the final stacks name rank 2 alone.
TEST_F(ReportSectionsTest, FinalStacksNameTheOddRankWhenProfilesCannot) {
  fs::remove(dir_.raw_directory / "pid-10.svg");
  fs::remove(dir_.raw_directory / "pid-11.svg");
  std::vector<RunRecord> dumps;
  for (uint32_t pid = 10; pid < 14; ++pid)
    dumps.push_back(final_dump(pid, pid == 12 ? "load_batch (t.py:5)" : "all_reduce (c10d.py:7)"));
  const RunDetails details = gather_details(dir_, records_, run_, dumps);
  const std::string md = render_markdown(dir_, {}, records_, &details);
  const std::string odd =
      "Odd one out: rank 2 (pid 12) in `load_batch`, while 3 others are in `all_reduce`.";
  EXPECT_NE(md.find("## Stacks when sampling ended\n"), std::string::npos) << md;
  EXPECT_NE(md.find(odd), std::string::npos);
  EXPECT_NE(md.find("- pid 12 (rank 2/4): 100 samples of 420 expected, idle 76 % of the time\n"),
            std::string::npos);
  EXPECT_NE(md.find("100 samples of 420 expected: idle 76 % of the time"), std::string::npos);
  const std::string across = md.substr(md.find("## Across the group"));
  EXPECT_LT(across.find("stacks when sampling ended"), across.find("1 process: rank 2 (pid 12)"));
  const auto json = nlohmann::json::parse(render_json(dir_, {}, records_, &details));
  EXPECT_EQ(json["final_stacks"]["odd_one_out"], odd);
  EXPECT_EQ(json["final_stacks"]["dumps"][2]["threads"][0]["frames"][0]["function"], "load_batch");
  EXPECT_EQ(json["processes"][2]["samples_expected"], 420);
  const auto lines = summary_lines(details.facts, 0, &*details.final_stacks);
  EXPECT_EQ(lines[0], "Stacks when sampling ended:");
  EXPECT_EQ(lines[1], odd);
}

}  // namespace
}  // namespace stackpeek::report
