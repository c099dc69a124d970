#include "app/runs.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>

#include "app/actions.h"
#include "app/app_fixture.h"
#include "app/key_table.h"

namespace stackpeek::app {
namespace {

namespace fs = std::filesystem;
using testing::FakeMachine;

// A scratch folder that is also the current directory while the test runs, holding a
// fake py-spy script.
class RunsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    old_cwd_ = fs::current_path();
    dir_ = fs::temp_directory_path() /
           ("stackpeek-runs-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    fs::current_path(dir_);
  }
  void TearDown() override {
    fs::current_path(old_cwd_);
    fs::remove_all(dir_);
  }

  // A py-spy stand-in: fails for pid 101, writes the -o file for record.
  void write_fake_py_spy() {
    const fs::path script = dir_ / "py-spy";
    std::ofstream(script)
        << "#!/bin/sh\n"
           "mode=$1\n"
           "for last; do :; done\n"
           "if [ \"$last\" = 101 ]; then echo 'Error: no python' >&2; exit 1; fi\n"
           "if [ \"$mode\" = record ]; then echo '<svg/>' > \"$5\"; fi\n"
           "printf 'Thread %s\\r\\n    main (x.py:1)\\n' \"$last\"\n";
    fs::permissions(script, fs::perms::owner_all);
    machine.py_spy = script;
  }

  // A py-spy stand-in made of the shell script `text`.
  void write_script(const std::string& text) {
    const fs::path script = dir_ / "py-spy";
    std::ofstream(script) << text;
    fs::permissions(script, fs::perms::owner_all);
    machine.py_spy = script;
  }

  App start() {
    machine.snapshot = testing::small_snapshot();
    return make_app(machine.services());
  }

  // Drains until the run completes, or gives up after five seconds.
  static void wait_for_completion(App& app) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (app.mode.is(AppMode::Kind::Running) && std::chrono::steady_clock::now() < deadline) {
      drain_events(app);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  FakeMachine machine;
  fs::path dir_, old_cwd_;
};

TEST_F(RunsTest, GroupDumpShowsStartLinesThenEveryRecord) {
  write_fake_py_spy();
  App app = start();
  handle_key(app, KeyEvent::character('j'));
  handle_key(app, KeyEvent::character('j'));  // the train.py tree group (pids 100-102)
  handle_key(app, KeyEvent::character('d'));
  ASSERT_TRUE(app.mode.is(AppMode::Kind::Running));
  EXPECT_EQ(app.status, "Running 3 py-spy commands");
  const std::string py_spy = machine.py_spy->string();
  EXPECT_EQ(app.output_lines,
            (std::vector<std::string>{
                "Dump started.", "Stack output appears here when py-spy finishes.", "",
                "Commands running:", "$ " + py_spy + " dump --pid 100",
                "$ " + py_spy + " dump --pid 101", "$ " + py_spy + " dump --pid 102"}));
  wait_for_completion(app);
  EXPECT_EQ(app.status, "Completed with errors in 3 py-spy commands");
  EXPECT_EQ(
      app.output_lines,
      (std::vector<std::string>{"Stacks compared: 3 processes, 0 distinct, 1 failed, 2 not parsed",
                                "1 process: pid 100, stack not parsed",
                                "    Thread 100",
                                "1 process: pid 101, dump failed",
                                "    Error: no python",
                                "1 process: pid 102, stack not parsed",
                                "    Thread 102",
                                "",
                                "$ " + py_spy + " dump --pid 100",
                                "status: Success",
                                "stdout:",
                                "Thread 100",
                                "    main (x.py:1)",
                                "",
                                "$ " + py_spy + " dump --pid 101",
                                "status: Failure",
                                "exit code: 1",
                                "stderr:",
                                "Error: no python",
                                "",
                                "$ " + py_spy + " dump --pid 102",
                                "status: Success",
                                "stdout:",
                                "Thread 102",
                                "    main (x.py:1)",
                                ""}));
  EXPECT_TRUE(app.reports.empty());
}

TEST_F(RunsTest, DumpComparisonNamesThePidsOfTheRunsStart) {
  write_script(
      "#!/bin/sh\n"
      "for pid; do :; done\n"
      "printf 'Process %s: python3 x.py\\nPython v3.11.2 (/usr/bin/python3)\\n\\n' \"$pid\"\n"
      "printf 'Thread %s (idle): \"MainThread\"\\n    wait (x.py:%s)\\n' \"$pid\" \"$pid\"\n");
  App app = start();
  start_run(app, SpyMode::Dump, Selection::process(101), false);
  wait_for_completion(app);
  ASSERT_FALSE(app.output_lines.empty());
  EXPECT_TRUE(app.output_lines.front().starts_with("$ "));  // a lone dump: no comparison

  // The group is gone by the time the run ends; the pids of its start still name the stacks.
  const auto group = std::find_if(app.groups.begin(), app.groups.end(),
                                  [](const auto& g) { return g.members.size() == 3; });
  ASSERT_NE(group, app.groups.end());
  const Selection tree = Selection::group(group->key);
  ASSERT_EQ(selection_target(app.groups, tree).pids(), (std::vector<uint32_t>{100, 101, 102}));
  start_run(app, SpyMode::Dump, tree, false);
  machine.snapshot.clear();
  refresh(app);
  wait_for_completion(app);
  ASSERT_GE(app.output_lines.size(), 4u);
  EXPECT_EQ(app.output_lines[0], "Stacks compared: 3 processes, 1 distinct");
  EXPECT_EQ(app.output_lines[1], "3 processes: pids 100 101 102");
  EXPECT_EQ(app.output_lines[2], "    wait (x.py:100-102)");  // every member's line
  EXPECT_EQ(app.stack_history.size(), 3u);
}

TEST_F(RunsTest, RecordRunWritesReportAndListsFolder) {
  write_fake_py_spy();
  App app = start();
  handle_key(app, KeyEvent::character('j'));  // pid 200, serve.py
  handle_key(app, KeyEvent::of(KeyEvent::Code::Enter));
  ASSERT_TRUE(app.mode.is(AppMode::Kind::Running));
  EXPECT_EQ(app.status, "Recording 1 process");
  ASSERT_TRUE(app.output_lines[4].starts_with("Report directory: " + dir_.string() +
                                              "/py-spy-report-pid-200-"));
  const std::string folder = app.output_lines[4].substr(app.output_lines[4].find(dir_.string()));
  EXPECT_EQ(app.output_lines[5], "Raw directory: " + folder + "/raw");
  EXPECT_EQ(app.output_lines[7], "Raw records pending:");
  EXPECT_EQ(app.output_lines[8], "  " + folder + "/raw/pid-200.svg");
  wait_for_completion(app);
  EXPECT_EQ(app.status, "Report written to " + folder);
  EXPECT_EQ(app.reports, std::vector<std::string>{folder});
  EXPECT_TRUE(fs::exists(fs::path(folder) / "report.md"));
  EXPECT_TRUE(fs::exists(fs::path(folder) / "report.json"));
  ASSERT_GE(app.output_lines.size(), 2u);
  EXPECT_EQ(app.output_lines.back(), "Share report.md, report.json, and raw/ with an LLM.");
}

TEST_F(RunsTest, CancelledRecordRunCompletesWithItsReport) {
  App app = start();
  auto channel = make_channel<tasks::TaskEvent>();
  app.active_run.emplace(std::move(channel.receiver), std::nullopt, std::nullopt);
  app.mode = AppMode::running();
  app.active_report = *report::create_report_dir("pid-200");
  const std::string folder = app.active_report->report_directory.string();
  cancel_run(app);
  EXPECT_EQ(app.status, "Canceled running py-spy command");
  // No new run until the stopped commands have been reaped.
  EXPECT_TRUE(app.mode.is(AppMode::Kind::Running));
  channel.sender.send(tasks::Finished{
      .records = {{"py-spy record", "stopped\n", "", RunStatus::Success, 0}}, .final_dumps = {}});
  drain_events(app);
  EXPECT_EQ(app.status, "Canceled running py-spy command");
  EXPECT_EQ(app.reports, std::vector<std::string>{folder});
  EXPECT_TRUE(fs::exists(fs::path(folder) / "report.md"));
  EXPECT_EQ(app.output_lines.back(), "Canceled.");
}

TEST_F(RunsTest, MissingPySpyIsLookedForAgainAndVanishedGroupRefuses) {
  machine.py_spy.reset();
  App app = start();
  handle_key(app, KeyEvent::character('d'));
  EXPECT_EQ(app.status,
            "py-spy was not found; install it with `pip install py-spy` and put it on PATH or "
            "next to stackpeek");
  EXPECT_TRUE(app.mode.is(AppMode::Kind::Browse));

  machine.py_spy = "/opt/py-spy";
  start_run(app, SpyMode::Record, Selection::group("tree:999"), false);
  EXPECT_EQ(app.status, "No commands to run for the selected item");
  EXPECT_TRUE(app.mode.is(AppMode::Kind::Browse));
  // The folder made for it stays behind, empty.
  bool found = false;
  for (const auto& entry : fs::directory_iterator(dir_)) {
    if (entry.path().filename().string().starts_with("py-spy-report-tree-999-")) found = true;
  }
  EXPECT_TRUE(found);

  // The py-spy installed meanwhile runs at the next request.
  handle_key(app, KeyEvent::character('d'));
  EXPECT_EQ(app.status, "Running 1 py-spy command");
  EXPECT_EQ(app.output_lines.back(), "$ /opt/py-spy dump --pid 200");
}

TEST_F(RunsTest, WorkerEndingWithoutResultCompletesWithErrors) {
  App app = start();
  auto channel = make_channel<tasks::TaskEvent>();
  app.active_run.emplace(std::move(channel.receiver), std::nullopt, std::nullopt);
  app.mode = AppMode::running();
  channel.sender.reset();
  drain_events(app);
  EXPECT_TRUE(app.mode.is(AppMode::Kind::Browse));
  EXPECT_EQ(app.status, "Completed with errors in 1 py-spy command");
}

TEST_F(RunsTest, ReportWriteFailureStillListsFolder) {
  App app = start();
  auto channel = make_channel<tasks::TaskEvent>();
  app.active_run.emplace(std::move(channel.receiver), std::nullopt, std::nullopt);
  app.mode = AppMode::running();
  app.active_report = report::ReportDir{dir_ / "gone", dir_ / "gone" / "raw", "pid-1", 1};
  channel.sender.send(tasks::Finished{.records = {}, .final_dumps = {}});
  drain_events(app);
  EXPECT_EQ(app.status, "Report write failed: failed to read raw report directory " +
                            (dir_ / "gone/raw").string());
  EXPECT_EQ(app.reports, std::vector<std::string>{(dir_ / "gone").string()});
}

TEST_F(RunsTest, TopFramesReplaceOutputAndLastOneWins) {
  App app = start();
  auto channel = make_channel<tasks::TaskEvent>();
  app.active_run.emplace(std::move(channel.receiver), std::nullopt, std::nullopt);
  app.mode = AppMode::running();
  app.output_scroll = 7;
  channel.sender.send(tasks::TopFrame{{"first"}});
  channel.sender.send(tasks::TopFrame{{"second", "frame"}});
  drain_events(app);
  EXPECT_EQ(app.output_lines,
            (std::vector<std::string>{
                "Live py-spy top.", "Current frame replaces the previous frame; Press Esc to stop.",
                "", "second", "frame"}));
  EXPECT_EQ(app.output_scroll, 0);
  EXPECT_TRUE(app.mode.is(AppMode::Kind::Running));
}

// A live top run through a hand-fed channel; `cancel` before the run ends.
App top_run(App app, bool cancel) {
  auto channel = make_channel<tasks::TaskEvent>();
  app.active_run.emplace(std::move(channel.receiver), std::nullopt, std::nullopt,
                         std::make_shared<tasks::TopWindow>(tasks::WindowSize{}));
  app.mode = AppMode::running();
  channel.sender.send(tasks::TopFrame{{"Total Samples 3", "process 7 ended"}});
  drain_events(app);
  if (cancel) {
    cancel_run(app);
    channel.sender.send(tasks::TopFrame{{"Total Samples 4"}});
  }
  RunRecord record{"py-spy top --pid 7", "process 7 ended\n", "", RunStatus::Success, 0};
  if (cancel) record = {"py-spy top --pid 7", "", "", RunStatus::Failure, std::nullopt, 9};
  channel.sender.send(tasks::Finished{.records = {record}, .final_dumps = {}});
  drain_events(app);
  return app;
}

TEST_F(RunsTest, TopKeepsItsLastFrameAboveItsRecord) {
  const App ended = top_run(start(), false);
  EXPECT_EQ(ended.status, "Completed 1 py-spy command");
  EXPECT_EQ(ended.output_lines,
            (std::vector<std::string>{"Total Samples 3", "process 7 ended", "",
                                      "$ py-spy top --pid 7", "status: Success", ""}));

  // Frames after the cancel are dropped, and the signal of the stop is not shown.
  const App cancelled = top_run(start(), true);
  EXPECT_TRUE(cancelled.mode.is(AppMode::Kind::Browse));
  EXPECT_EQ(cancelled.status, "Canceled running py-spy command");
  EXPECT_EQ(cancelled.output_lines,
            (std::vector<std::string>{"Total Samples 3", "process 7 ended", "",
                                      "$ py-spy top --pid 7", "status: Failure", "", "Canceled."}));
}

TEST(RecordLinesTest, SectionsSkipBlankOutputAndSplitLinesAndFailuresTellHow) {
  const std::vector<RunRecord> records = {
      {"py-spy dump --pid 1", " \n\n", "a\r\nb\n", RunStatus::Failure, 3},
      {"py-spy dump --pid 2", "x\n\ny", "", RunStatus::SpawnFailed},
      {"py-spy dump --pid 3", "", "", RunStatus::Failure, std::nullopt, 11}};
  EXPECT_EQ(record_lines(records),
            (std::vector<std::string>{
                "$ py-spy dump --pid 1", "status: Failure", "exit code: 3", "stderr:", "a", "b", "",
                "$ py-spy dump --pid 2", "status: SpawnFailed", "stdout:", "x", "", "y", "",
                "$ py-spy dump --pid 3", "status: Failure", "signal: 11 (SIGSEGV)", ""}));
}

}  // namespace
}  // namespace stackpeek::app
