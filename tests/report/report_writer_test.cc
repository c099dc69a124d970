#include "report/report_writer.h"

#include <gtest/gtest.h>

#include "report/temp_dir.h"

namespace stackpeek::report {
namespace {

namespace fs = std::filesystem;
using testing::read_text;
using testing::TempDir;
using testing::UnprivilegedScope;
using testing::write_text;

const fs::path kReportDir = "/reports/py-spy-report-train-py-epochs-10-1700000000";

ReportDir report_dir(std::string label = "train.py --epochs 10") {
  return {kReportDir, kReportDir / "raw", std::move(label), 1700000000};
}

// The part of report.md that only depends on the folder, before the raw record lines.
std::string markdown_head(std::string_view label, size_t commands, size_t successes) {
  return "# py-spy report: " + std::string(label) +
         "\n"
         "\n"
         "- Created at unix timestamp: 1700000000\n"
         "- Report directory: /reports/py-spy-report-train-py-epochs-10-1700000000\n"
         "- Raw records: /reports/py-spy-report-train-py-epochs-10-1700000000/raw\n"
         "- Command count: " +
         std::to_string(commands) +
         "\n"
         "- Successful commands: " +
         std::to_string(successes) +
         "\n"
         "\n"
         "## How to use this report with an LLM\n"
         "\n"
         "Give the LLM this `report.md`, `report.json`, and the SVG files under `raw/`.\n"
         "Ask it to compare hot functions, rank-specific differences, and repeated blocking "
         "stacks.\n"
         "\n"
         "## Raw Records\n"
         "\n";
}

constexpr std::string_view kHint =
    "Analyze raw SVG flamegraphs and command output. Look for dominant stack frames, rank "
    "imbalance, lock contention, data loading stalls, and repeated blocking system calls.";

// The members after "commands" in report.json when raw/ holds no SVG file.
std::string json_tail_without_raw_records(std::string_view escaped_label) {
  return "\"created_at_unix\": 1700000000,\n"
         "  \"llm_prompt_hint\": \"" +
         std::string(kHint) +
         "\",\n"
         "  \"raw_records\": [],\n"
         "  \"report_directory\": \"/reports/py-spy-report-train-py-epochs-10-1700000000\",\n"
         "  \"schema_version\": 1,\n"
         "  \"target_label\": \"" +
         std::string(escaped_label) + "\"\n}";
}

TEST(RenderReportTest, AllCommandsFailed) {
  const std::vector<fs::path> raw = {kReportDir / "raw" / "pid-10.svg",
                                     kReportDir / "raw" / "pid-9.svg"};
  const std::vector<RunRecord> records = {
      {"py-spy record --duration 30 -o raw/pid-9.svg --pid 9",
       "py-spy> Sampling process 100 times a second for 30 seconds. Press Control-C to exit.\n\n",
       "Error: Failed to find python version from target process\n", RunStatus::Failure, 1,
       std::nullopt},
      {"py-spy record --duration 30 -o raw/pid-10.svg --pid 10", "",
       "No such file or directory (os error 2)", RunStatus::SpawnFailed},
      {"py-spy record --duration 30 -o raw/pid-11.svg --pid 11", "", "", RunStatus::Failure,
       std::nullopt, 11},
  };
  EXPECT_EQ(render_markdown(report_dir(), raw, records),
            markdown_head("train.py --epochs 10", 3, 0) + R"md(- `raw/pid-10.svg`
- `raw/pid-9.svg`

## Commands

### `py-spy record --duration 30 -o raw/pid-9.svg --pid 9`

- Status: Failure
- exit code: 1

#### stdout

```text
py-spy> Sampling process 100 times a second for 30 seconds. Press Control-C to exit.

```

#### stderr

```text
Error: Failed to find python version from target process
```

### `py-spy record --duration 30 -o raw/pid-10.svg --pid 10`

- Status: SpawnFailed

#### stderr

```text
No such file or directory (os error 2)
```

### `py-spy record --duration 30 -o raw/pid-11.svg --pid 11`

- Status: Failure
- signal: 11 (SIGSEGV)
)md");
  EXPECT_EQ(render_json(report_dir(), raw, records), std::string(R"json({
  "commands": [
    {
      "command_line": "py-spy record --duration 30 -o raw/pid-9.svg --pid 9",
      "exit_code": 1,
      "signal": null,
      "status": "Failure",
      "stderr": "Error: Failed to find python version from target process\n",
      "stdout": "py-spy> Sampling process 100 times a second for 30 seconds. Press Control-C to exit.\n\n"
    },
    {
      "command_line": "py-spy record --duration 30 -o raw/pid-10.svg --pid 10",
      "exit_code": null,
      "signal": null,
      "status": "SpawnFailed",
      "stderr": "No such file or directory (os error 2)",
      "stdout": ""
    },
    {
      "command_line": "py-spy record --duration 30 -o raw/pid-11.svg --pid 11",
      "exit_code": null,
      "signal": 11,
      "status": "Failure",
      "stderr": "",
      "stdout": ""
    }
  ],
  "created_at_unix": 1700000000,
  "llm_prompt_hint": ")json") + std::string(kHint) + R"json(",
  "raw_records": [
    {
      "path": "raw/pid-10.svg"
    },
    {
      "path": "raw/pid-9.svg"
    }
  ],
  "report_directory": "/reports/py-spy-report-train-py-epochs-10-1700000000",
  "schema_version": 1,
  "target_label": "train.py --epochs 10"
})json");
}

TEST(RenderReportTest, BlankStdoutHasNoSectionButStaysInJson) {
  const std::vector<RunRecord> records = {
      {"py-spy dump --pid 5", " \n\t\n", "", RunStatus::Success, 0, std::nullopt}};
  EXPECT_EQ(render_markdown(report_dir(), {}, records),
            markdown_head("train.py --epochs 10", 1, 1) + R"md(
## Commands

### `py-spy dump --pid 5`

- Status: Success
)md");
  EXPECT_EQ(render_json(report_dir(), {}, records), std::string(R"json({
  "commands": [
    {
      "command_line": "py-spy dump --pid 5",
      "exit_code": 0,
      "signal": null,
      "status": "Success",
      "stderr": "",
      "stdout": " \n\t\n"
    }
  ],
  )json") + json_tail_without_raw_records(R"(train.py --epochs 10)"));
}

TEST(RenderReportTest, CrLfInStderrBecomesPlainLines) {
  const std::vector<RunRecord> records = {
      {"py-spy dump --pid 5", "", "a\r\nb\n", RunStatus::Failure}};
  EXPECT_EQ(render_markdown(report_dir(), {}, records),
            markdown_head("train.py --epochs 10", 1, 0) + R"md(
## Commands

### `py-spy dump --pid 5`

- Status: Failure

#### stderr

```text
a
b
```
)md");
  EXPECT_EQ(render_json(report_dir(), {}, records), std::string(R"json({
  "commands": [
    {
      "command_line": "py-spy dump --pid 5",
      "exit_code": null,
      "signal": null,
      "status": "Failure",
      "stderr": "a\r\nb\n",
      "stdout": ""
    }
  ],
  )json") + json_tail_without_raw_records(R"(train.py --epochs 10)"));
}

TEST(RenderReportTest, EmptyRawFolderAndNoRecords) {
  const std::string markdown = render_markdown(report_dir(), {}, {});
  EXPECT_EQ(markdown, markdown_head("train.py --epochs 10", 0, 0) + "\n## Commands\n");
  EXPECT_EQ(render_json(report_dir(), {}, {}),
            std::string("{\n  \"commands\": [],\n  ") +
                json_tail_without_raw_records(R"(train.py --epochs 10)"));
}

TEST(RenderReportTest, QuotationMarkInLabel) {
  const ReportDir dir = report_dir("say \"hi\" \\ now");
  EXPECT_EQ(render_markdown(dir, {}, {}),
            markdown_head("say \"hi\" \\ now", 0, 0) + "\n## Commands\n");
  EXPECT_EQ(render_json(dir, {}, {}), std::string("{\n  \"commands\": [],\n  ") +
                                          json_tail_without_raw_records(R"(say \"hi\" \\ now)"));
}

// The label of a `python -c` script spans lines; the heading stays one line.
TEST(RenderReportTest, LineBreaksInLabelStayInTheHeading) {
  const ReportDir dir = report_dir("-c \nimport time\r\nx()");
  EXPECT_EQ(render_markdown(dir, {}, {}),
            markdown_head("-c \\nimport time\\x0d\\nx()", 0, 0) + "\n## Commands\n");
  EXPECT_EQ(render_json(dir, {}, {}),
            std::string("{\n  \"commands\": [],\n  ") +
                json_tail_without_raw_records(R"(-c \nimport time\r\nx())"));
}

TEST(RenderReportTest, MarkdownCopiesOutputLinesVerbatim) {
  // Inner empty lines, a fence inside the output and a lone carriage return all stay.
  const std::vector<RunRecord> records = {
      {"cmd", "one\n\n\nthree\n```\nend\r", "", RunStatus::Success}};
  const std::string markdown = render_markdown(report_dir(), {}, records);
  EXPECT_TRUE(markdown.ends_with("```text\none\n\n\nthree\n```\nend\r\n```\n")) << markdown;
}

TEST(RenderReportTest, RawRecordOutsideReportFolderStaysWhole) {
  const std::vector<fs::path> raw = {"/elsewhere/pid-1.svg",
                                     "/reports/py-spy-report-train-py-epochs-10-17/pid-2.svg"};
  const std::string markdown = render_markdown(report_dir(), raw, {});
  EXPECT_NE(markdown.find("- `/elsewhere/pid-1.svg`\n"
                          "- `/reports/py-spy-report-train-py-epochs-10-17/pid-2.svg`\n"),
            std::string::npos)
      << markdown;
}

TEST(RenderReportTest, JsonEscapesControlsAndKeepsNonAscii) {
  const std::vector<RunRecord> records = {
      {"cmd", "\x1b[0m\b\f\x01\x7f caf\u00e9 \U0001F525 /", "", RunStatus::Success}};
  const std::string json = render_json(report_dir(), {}, records);
  EXPECT_NE(json.find(R"("stdout": "\u001b[0m\b\f\u0001)"
                      "\x7f caf\u00e9 \U0001F525 /\"\n"),
            std::string::npos)
      << json;
}

TEST(RenderReportTest, JsonReplacesBytesThatAreNotUtf8) {
  // Labels and command lines come from the process table; a stray byte must not throw.
  const std::vector<RunRecord> records = {{"py-spy dump --pid 1 \xff", "", "", RunStatus::Success}};
  const std::string json = render_json(report_dir("a\xfe"
                                                  "b"),
                                       {}, records);
  EXPECT_NE(json.find("\"command_line\": \"py-spy dump --pid 1 \uFFFD\""), std::string::npos);
  EXPECT_NE(json.find("\"target_label\": \"a\uFFFDb\""), std::string::npos);
}

constexpr auto kReadOnly = fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                           fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec;

class WriteReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = {tmp_.path() / "report", tmp_.path() / "report" / "raw", "pid-7", 3};
    fs::create_directories(dir_.raw_directory);
  }

  TempDir tmp_;
  ReportDir dir_;
  const std::vector<RunRecord> records_ = {
      {"py-spy record --duration 30 -o raw/pid-7.svg --pid 7", "ok\n", "", RunStatus::Success}};
};

TEST_F(WriteReportTest, WritesBothFilesFromCurrentRawFolder) {
  write_text(dir_.raw_directory / "pid-7.svg", "<svg/>");
  write_text(dir_.raw_directory / "pid-7.txt", "");
  write_text(dir_.report_directory / "report.md", "an older, longer report that is replaced");
  ASSERT_TRUE(write_report(dir_, records_).has_value());
  const std::vector<fs::path> raw = {dir_.raw_directory / "pid-7.svg"};
  EXPECT_EQ(read_text(dir_.report_directory / "report.md"), render_markdown(dir_, raw, records_));
  EXPECT_EQ(read_text(dir_.report_directory / "report.json"), render_json(dir_, raw, records_));
}

TEST_F(WriteReportTest, MissingRawFolderWritesNothing) {
  fs::remove(dir_.raw_directory);
  const auto written = write_report(dir_, records_);
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error().message(),
            "failed to read raw report directory " + dir_.raw_directory.string());
  EXPECT_FALSE(fs::exists(dir_.report_directory / "report.md"));
}

TEST_F(WriteReportTest, MarkdownFailureStopsBeforeJson) {
  fs::create_directory(dir_.report_directory / "report.md");
  const auto written = write_report(dir_, records_);
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error().message(), "failed to write Markdown py-spy report");
  EXPECT_EQ(written.error().causes(), std::vector<std::string>{"Is a directory (os error 21)"});
  EXPECT_FALSE(fs::exists(dir_.report_directory / "report.json"));
}

TEST_F(WriteReportTest, JsonFailureKeepsMarkdown) {
  fs::create_directory(dir_.report_directory / "report.json");
  const auto written = write_report(dir_, records_);
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error().message(), "failed to write JSON py-spy report");
  EXPECT_TRUE(fs::is_regular_file(dir_.report_directory / "report.md"));
}

TEST_F(WriteReportTest, UnwritableFolderFails) {
  fs::permissions(tmp_.path(), fs::perms::all);
  fs::permissions(dir_.report_directory, testing::kReadOnly);
  Result<void> written;
  {
    UnprivilegedScope unprivileged;
    ASSERT_TRUE(unprivileged.ok());
    written = write_report(dir_, records_);
  }
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error().message(), "failed to write Markdown py-spy report");
  EXPECT_EQ(written.error().causes(), std::vector<std::string>{"Permission denied (os error 13)"});
}

}  // namespace
}  // namespace stackpeek::report
