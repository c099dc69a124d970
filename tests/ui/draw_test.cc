#include "ui/draw.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/utf8.h"
#include "discovery/groups.h"
#include "discovery/runtime.h"

namespace stackpeek::ui {
namespace {

using discovery::GroupKind;
using discovery::PathOrMessage;
using discovery::ProcessGroup;
using discovery::ProcessInfo;

constexpr Style kSelected{Color::Black, Color::Cyan, true};
constexpr Style kLabel{Color::Yellow, Color::Default, true};

ProcessInfo process(uint32_t pid, std::vector<std::string> cmd) {
  ProcessInfo p;
  p.pid = pid;
  p.parent_pid = 1;
  p.name = "python3";
  p.exe = PathOrMessage::path("/usr/bin/python3.12");
  p.cwd = PathOrMessage::path("/srv/app");
  p.cmd = std::move(cmd);
  p.runtime = {PathOrMessage::path("/usr/bin/python3.12"), PathOrMessage::path("/usr"), "3.12",
               discovery::RuntimeKind::System};
  p.cpu = 12.5;
  p.memory = 536870912;
  return p;
}

ProcessGroup group(std::string key, std::string label, GroupKind kind,
                   std::vector<ProcessInfo> members) {
  ProcessGroup g;
  g.key = std::move(key);
  g.label = std::move(label);
  g.kind = kind;
  g.runtime_text = "system 3.12 - /usr";
  g.cwd_text = "/srv/app";
  g.members = std::move(members);
  return g;
}

// Two ranks of one job: a group row followed by two process rows.
ProcessGroup torch_job() {
  ProcessInfo rank0 = process(4242, {"python3", "train.py", "--epochs", "10"});
  rank0.torch.rank = "0";
  rank0.torch.world_size = "2";
  rank0.torch.local_rank = "0";
  ProcessInfo rank1 = process(4243, {"python3", "train.py", "--epochs", "10"});
  rank1.torch.rank = "2";
  return group("torch:torch:10.0.0.1:29500:world2", "train.py --epochs 10", GroupKind::TorchDdp,
               {rank0, rank1});
}

app::App app_with(std::vector<ProcessGroup> groups, size_t selected = 0) {
  app::App app;
  app.groups = std::move(groups);
  app::update_rows(app);
  app.selected = selected;
  app.status = "Found 1 group";
  return app;
}

Buffer render(const app::App& app, int width = 120, int height = 30) {
  Buffer buffer({0, 0, width, height});
  draw_ui(buffer, app);
  return buffer;
}

// The text of cells [x0, x1) of row y, trailing blanks removed.
std::string row_text(const Buffer& buffer, int y, int x0, int x1) {
  std::string text;
  for (int x = x0; x < x1; ++x) text += buffer.at(x, y).symbol;
  return std::string(utf8::trim_end(text));
}

// The rows inside the Details pane; at 400 columns every Details line fits on one row.
std::vector<std::string> details_rows(const Buffer& buffer) {
  const Rect area = buffer.area();
  const int left = area.width * 56 / 100 + 1;
  std::vector<std::string> rows;
  for (int y = 1; buffer.at(left - 1, y).symbol != "└"; ++y)
    rows.push_back(row_text(buffer, y, left, area.width - 1));
  while (!rows.empty() && rows.back().empty()) rows.pop_back();
  return rows;
}

bool has_control(const Buffer& buffer) {
  for (const std::string& line : buffer.lines()) {
    size_t pos = 0;
    while (pos < line.size())
      if (utf8::is_control(utf8::next(line, pos))) return true;
  }
  return false;
}

using Rows = std::vector<std::string>;

TEST(DrawUi, LaysOutThePanesWithTheirTitles) {
  const Buffer buffer = render(app_with({torch_job()}));
  const Rows lines = buffer.lines();
  EXPECT_EQ(lines[0].substr(0, std::string("┌Python Processes").size()), "┌Python Processes");
  EXPECT_EQ(row_text(buffer, 0, 67, 120).substr(0, std::string("┌Details").size()), "┌Details");
  // The group's Details take 11 rows: the main area gets 13, the output pane the rest.
  EXPECT_EQ(buffer.at(66, 12).symbol, "┘");
  EXPECT_EQ(row_text(buffer, 13, 0, 20), "┌py-spy Output──────");
  EXPECT_EQ(buffer.at(119, 28).symbol, "┘");
  EXPECT_EQ(lines[29].substr(0, 13), "mode: browse ");
}

TEST(DrawUi, EmptyListShowsNoSelectionAndTheHints) {
  const app::App app = app_with({});
  const Buffer buffer = render(app);
  EXPECT_EQ(row_text(buffer, 1, 1, 66), "");
  EXPECT_EQ(row_text(buffer, 1, 68, 119), "No Python processes found.");
  EXPECT_EQ(row_text(buffer, 9, 1, 119), "Output appears here after a dump or profile run.");
  EXPECT_EQ(footer_text(app),
            "mode: browse | Enter record | d dump | t top | w watch | r refresh | Space expand | "
            "j/k move | PgUp/Dn output | o zoom | / filter | q quit | Found 1 group");
  EXPECT_EQ(buffer.lines()[29], footer_text(app, 120) + std::string(52, ' '));
}

TEST(DrawUi, ProcessListMarksTheSelectedRowInBlackOnCyanBold) {
  const Buffer buffer = render(app_with({torch_job()}, 1));
  const std::vector<app::ListRow> rows = app::list_rows({torch_job()});
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(row_text(buffer, 1, 1, 66), "  " + rows[0].text);
  EXPECT_EQ(row_text(buffer, 2, 1, 66), "> " + rows[1].text);
  for (int x = 1; x < 66; ++x) {
    EXPECT_EQ(buffer.at(x, 2).style, kSelected) << x;
    EXPECT_EQ(buffer.at(x, 1).style, Style{}) << x;
  }
  EXPECT_EQ(buffer.at(0, 2).style, Style{});  // the border stays plain
}

TEST(DrawUi, SelectionPastTheEndHighlightsTheLastRowButDetailsShowNothing) {
  const Buffer buffer = render(app_with({torch_job()}, 10));
  EXPECT_EQ(row_text(buffer, 3, 1, 3), ">");
  EXPECT_EQ(buffer.at(1, 3).style, kSelected);
  EXPECT_EQ(row_text(buffer, 1, 68, 119), "No Python processes found.");
}

TEST(DrawUi, ProcessDetailsOfATorchRank) {
  const Buffer buffer = render(app_with({torch_job()}, 2), 400, 40);
  const std::string runtime = "Runtime    system 3.12 - /usr";
  EXPECT_EQ(details_rows(buffer),
            (Rows{"Pid        4243", "Name       python3", runtime,
                  "Executable /usr/bin/python3.12", "Cwd        /srv/app", "Cpu        12.5%",
                  "Memory     512 MiB", "Torch      rank 2/? local ?", "",
                  "t runs live py-spy top for this PID.", "python3 train.py --epochs 10"}));
  const int left = 400 * 56 / 100 + 1;
  for (int x = left; x < left + 11; ++x) EXPECT_EQ(buffer.at(x, 1).style, kLabel) << x;
  EXPECT_EQ(buffer.at(left + 11, 1).style, Style{});
}

TEST(DrawUi, LauncherRankShowsTheRankAndTheJobInDetailsAndTheRow) {
  ProcessInfo p = process(7, {"python3", "job.py"});
  p.job_rank = discovery::JobRank{discovery::Launcher::OpenMpi, "1190592513", 3, 4, 1};
  const app::App app =
      app_with({group("openmpi:1190592513", "job.py", GroupKind::OpenMpi, {p})}, 1);
  const Rows rows = details_rows(render(app, 400, 40));
  ASSERT_GE(rows.size(), 9u);
  EXPECT_EQ(rows[7], "Rank       rank 3/4 local 1");
  EXPECT_EQ(rows[8], "Launcher   Open MPI job 1190592513");
  EXPECT_EQ(app.rows[0].text, "v job.py [openmpi] 1 procs");
  EXPECT_EQ(app.rows[1].text, "  pid 7       rank 3/4 local 1 python3 job.py");
}

TEST(DrawUi, ProcessWithoutRankInformationHasNoTorchLine) {
  ProcessGroup g =
      group("runtime:x", "serve.py", GroupKind::Process, {process(7, {"python3", "serve.py"})});
  const Rows rows = details_rows(render(app_with({g}, 1), 400, 40));
  ASSERT_EQ(rows.size(), 10u);
  EXPECT_EQ(rows[7], "");
}

TEST(DrawUi, GroupDetails) {
  const Rows rows = details_rows(render(app_with({torch_job()}, 0), 400, 40));
  EXPECT_EQ(rows, (Rows{"Group      train.py --epochs 10", "Kind       torch/ddp", "Processes  2",
                        "Runtime    system 3.12 - /usr", "Cwd        /srv/app", "",
                        "Enter records each process in the group for 30 seconds.",
                        "d dumps each process; w watches for a hang.",
                        "t requires selecting a single process inside the group."}));
}

std::string pattern(size_t n) {
  std::string text;
  for (size_t i = 0; i < n; ++i) text += static_cast<char>('a' + i % 26);
  return text;
}

TEST(DrawUi, LongTextsAreCutInTheMiddle) {
  const std::string command = pattern(200), exact = pattern(160), path = "/" + pattern(99);
  ProcessInfo p = process(9, {command});
  p.exe = PathOrMessage::path(path);
  ProcessInfo q = process(10, {exact});
  const Rows rows = details_rows(
      render(app_with({group("runtime:y", "x", GroupKind::Runtime, {p, q})}, 1), 400, 40));
  EXPECT_EQ(rows.back(), command.substr(0, 79) + "…" + command.substr(200 - 80));
  EXPECT_EQ(rows[3], "Executable " + path.substr(0, 39) + "…" + path.substr(100 - 40));
  const Rows whole = details_rows(
      render(app_with({group("runtime:y", "x", GroupKind::Runtime, {p, q})}, 2), 400, 40));
  EXPECT_EQ(whole.back(), exact);
}

TEST(DrawUi, DetailsWrapAtThePaneWidth) {
  const Buffer buffer = render(app_with({torch_job()}, 0));
  EXPECT_EQ(row_text(buffer, 7, 68, 119), "Enter records each process in the group for 30");
  EXPECT_EQ(row_text(buffer, 8, 68, 119), "seconds.");
}

TEST(DrawUi, ControlCharactersFromCommandLinesNeverReachTheScreen) {
  ProcessInfo p = process(11, {"python3", "-c", "print('\x1b[2J\a\x9bhi')\r\nx=1\tdone"});
  p.name = "py\x1bthon";
  const app::App app = app_with({group("runtime:z", "py\x1b[31m", GroupKind::Process, {p})}, 1);
  const Buffer list = render(app);
  EXPECT_FALSE(has_control(list));
  EXPECT_FALSE(has_control(render(app, 400, 40)));
}

TEST(DrawUi, FooterSpinsWhileRunning) {
  app::App app = app_with({});
  app.mode = app::AppMode::running();
  app.status = "Dumping 1 process";
  app.tick = 5;
  const std::string footer = row_text(render(app, 200, 30), 29, 0, 200);
  EXPECT_EQ(footer.substr(0, 14), "mode: running ");
  EXPECT_TRUE(footer.ends_with("| q quit | ⠴ Dumping 1 process")) << footer;
  app.tick = 7;
  EXPECT_TRUE(
      row_text(render(app, 200, 30), 29, 0, 200).ends_with("| q quit | ⠧ Dumping 1 process"));
}

TEST(DrawUi, FooterHintsGiveWayToTheStatus) {
  app::App app = app_with({});
  app.status = "Refresh failed: x";
  EXPECT_EQ(
      render(app, 80, 24).lines()[23],
      "mode: browse | Enter d t w r Space j/k PgUp/Dn o / q | " + app.status + std::string(8, ' '));
  app.status = "Report write failed: No space left on device (report.json)";
  EXPECT_EQ(render(app, 80, 24).lines()[23], "mode: browse | " + app.status + "       ");
}

TEST(DrawUi, OutputPaneWrapsAndScrollsInDrawnLines) {
  app::App app = app_with({});
  app.output_lines = {"$ py-spy dump --pid 42", std::string(130, 'x'), "Thread 42 (idle)"};
  app.output_scroll = 1;
  const Buffer buffer = render(app);
  const int top = screen_layout(buffer.area(), app).output.y + 1;
  EXPECT_EQ(row_text(buffer, top, 1, 119), std::string(118, 'x'));
  EXPECT_EQ(row_text(buffer, top + 1, 1, 119), std::string(12, 'x'));
  EXPECT_EQ(row_text(buffer, top + 2, 1, 119), "Thread 42 (idle)");
  app.output_scroll = 4;
  const Buffer past = render(app);
  for (int y = top; y < 28; ++y) EXPECT_EQ(row_text(past, y, 1, 119), "") << y;
}

TEST(DrawUi, PermissionPopupCoversTheCentre) {
  app::App app = app_with({torch_job()});
  app.mode = app::AppMode::permission(app::Selection::process(4242), tasks::SpyMode::Dump);
  app.permission_message = "ptrace is restricted.\r\nRun through sudo? [y/N]\n";
  const Buffer buffer = render(app);
  // 15/70/15 of 30 rows and 13/74/13 of 120 columns.
  EXPECT_EQ(row_text(buffer, 5, 16, 104).substr(0, std::string("┌Permission Needed─").size()),
            "┌Permission Needed─");
  EXPECT_EQ(row_text(buffer, 6, 17, 103), "ptrace is restricted.");
  EXPECT_EQ(row_text(buffer, 7, 17, 103), "Run through sudo? [y/N]");
  EXPECT_EQ(row_text(buffer, 8, 17, 103), "");
  EXPECT_EQ(buffer.at(103, 25).symbol, "┘");
  for (int y = 5; y < 26; ++y) {
    for (int x = 16; x < 104; ++x)
      ASSERT_EQ(buffer.at(x, y).style.bg, Color::Black) << x << "," << y;
  }
  EXPECT_NE(buffer.at(15, 10).style.bg, Color::Black);
  EXPECT_NE(buffer.at(50, 26).style.bg, Color::Black);
  EXPECT_TRUE(buffer.lines()[29].starts_with("mode: permission"));
  EXPECT_FALSE(has_control(buffer));
}

TEST(DetailLine, PadsTheLabelToElevenCharacters) {
  const Line pid = detail_line("Pid", "42");
  ASSERT_EQ(pid.spans.size(), 2u);
  EXPECT_EQ(pid.spans[0].content, "Pid        ");
  EXPECT_EQ(pid.spans[0].style, kLabel);
  EXPECT_EQ(pid.spans[1].content, "42");
  EXPECT_EQ(pid.spans[1].style, Style{});
  EXPECT_EQ(detail_line("Executable", "x").spans[0].content, "Executable ");
  EXPECT_EQ(detail_line("Longer label", "x").plain(), "Longer labelx");
}

}  // namespace
}  // namespace stackpeek::ui

namespace stackpeek::ui {
namespace {

// `count` collapsed one-process groups: one row each.
app::App collapsed_groups(int count) {
  std::vector<ProcessGroup> groups;
  for (int i = 0; i < count; ++i) {
    const auto pid = static_cast<uint32_t>(100 + i);
    groups.push_back(group("k" + std::to_string(i), "job" + std::to_string(i), GroupKind::Process,
                           {process(pid, {"python3", "job.py"})}));
  }
  app::App app = app_with(std::move(groups));
  for (const ProcessGroup& g : app.groups) app.collapsed.insert(g.key);
  app::update_rows(app);
  return app;
}

int output_height(const app::App& app, int width, int height) {
  return screen_layout({0, 0, width, height}, app).output.height;
}

TEST(ScreenLayout, TheListTakesTheRowsItNeedsAndTheOutputPaneTheRest) {
  // Group Details (9 lines) outgrow 8 rows: the main area is 11 rows.
  EXPECT_EQ(output_height(collapsed_groups(8), 200, 60), 60 - 1 - 11);
  EXPECT_EQ(output_height(collapsed_groups(30), 200, 60), 60 - 1 - 32);
  // A long list leaves the output pane its 9 rows, 3 on a short screen; zoomed it takes all.
  app::App many = collapsed_groups(1000);
  EXPECT_EQ(output_height(many, 80, 24), 9);
  EXPECT_EQ(output_height(many, 80, 14), 5);
  EXPECT_EQ(output_height(collapsed_groups(1), 80, 12), 3);
  many.output_zoomed = true;
  EXPECT_EQ(output_height(many, 80, 24), 23);
  many.output_lines.assign(40, "line");
  EXPECT_EQ(output_view({0, 0, 80, 24}, many).height, 21);
  EXPECT_EQ(output_view({0, 0, 80, 24}, many).scroll_limit, 40 - 21);
}

TEST(DrawUi, DetailsValuesAreCutInTheMiddleNotWrapped) {
  ProcessInfo p = process(9, {"python3", "train.py"});
  p.cwd = PathOrMessage::path("/home/someone/projects/a-rather-long-folder/run");
  const Buffer buffer = render(
      app_with({group("k", "-m torch.distributed.run --nproc 4 train.py", GroupKind::Process, {p})},
               1),
      80, 24);
  EXPECT_EQ(row_text(buffer, 5, 45, 79), "│Cwd        /home/some…-folder/run");
  EXPECT_EQ(row_text(buffer, 6, 45, 79), "│Cpu        12.5%");
  app::App none = app_with({torch_job()});
  none.filter = "nothing";
  app::update_rows(none);
  EXPECT_EQ(row_text(render(none), 1, 68, 119), "No process matches \"nothing\".");
}

TEST(Footer, ARecordCountsDownAndItsCancelHintOutlivesTheStatus) {
  app::App app = app_with({});
  app.mode = app::AppMode::running();
  app.active_mode = tasks::SpyMode::Record;
  app.status = "Recording 4 processes";
  app.run_seconds = 18;
  app.tick = 1;
  EXPECT_EQ(footer_text(app, 80),
            "mode: running | Esc cancel | q quit | ⠙ Recording 4 processes: 12 s left");
  app.status = "Recording 4 processes into /home/someone/a/rather/long/report/folder";
  EXPECT_TRUE(footer_text(app, 80).starts_with("mode: running | Esc q | ⠙ Recording"));
  // Cut at a word; a running watch keeps its tag whatever the status says.
  app.mode = app::AppMode::browse();
  app.watching.emplace("torch:x", workflow::WatchSettings{});
  app.status = "12:03:10 stuck: -u train.py [torch/ddp] ranks 0-7 unchanged for 300 s; rank 3";
  EXPECT_EQ(footer_text(app, 80),
            "mode: browse | watching 1 group | 12:03:10 stuck: -u train.py [torch/ddp]…");
}

}  // namespace
}  // namespace stackpeek::ui
