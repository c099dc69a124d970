#include "app/key_table.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "app/actions.h"
#include "app/app_fixture.h"

namespace stackpeek::app {
namespace {

using testing::FakeMachine;
using Code = KeyEvent::Code;

KeyOutcome press(App& app, char32_t c) { return handle_key(app, KeyEvent::character(c)); }
KeyOutcome press(App& app, Code code) { return handle_key(app, KeyEvent::of(code)); }

class KeysTest : public ::testing::Test {
 protected:
  App start(std::vector<discovery::ProcessInfo> snapshot) {
    machine.snapshot = std::move(snapshot);
    return make_app(machine.services());
  }
  FakeMachine machine;
};

TEST_F(KeysTest, StartupRefreshReportsGroupCount) {
  App app = start(testing::small_snapshot());
  // Rows: serve.py group + member, train.py tree group + three members.
  EXPECT_EQ(app.status, "Found 2 groups");
  EXPECT_EQ(app.rows.size(), 6u);
}

TEST_F(KeysTest, SelectionStopsAtBothEnds) {
  App app = start(testing::small_snapshot());
  press(app, 'k');
  press(app, Code::Up);
  EXPECT_EQ(app.selected, 0u);
  for (int i = 0; i < 10; ++i) press(app, 'j');
  for (int i = 0; i < 10; ++i) press(app, Code::Down);
  EXPECT_EQ(app.selected, 5u);
  press(app, 'k');
  EXPECT_EQ(app.selected, 4u);
}

TEST_F(KeysTest, EmptyListRefusesEveryRequest) {
  App app = start({});
  press(app, Code::Down);
  EXPECT_EQ(app.selected, 0u);
  for (auto key : {KeyEvent::of(Code::Enter), KeyEvent::character('d'), KeyEvent::character('t')}) {
    app.status.clear();
    handle_key(app, key);
    EXPECT_EQ(app.status, "No process selected");
  }
  press(app, ' ');
  EXPECT_TRUE(app.groups.empty());
  EXPECT_TRUE(app.mode.is(AppMode::Kind::Browse));
}

TEST_F(KeysTest, PageKeysSaturate) {
  App app = start({});
  for (int i = 0; i < 20000; ++i) press(app, Code::PageDown);
  EXPECT_EQ(app.output_scroll, 65535);
  int presses = 0;
  while (app.output_scroll > 0) {
    press(app, Code::PageUp);
    ++presses;
  }
  EXPECT_EQ(presses, 13107);
  press(app, Code::PageUp);
  EXPECT_EQ(app.output_scroll, 0);
}

TEST_F(KeysTest, SpaceCollapsesAndRefreshKeepsGroupsCollapsed) {
  App app = start(testing::small_snapshot());
  press(app, 'j');
  press(app, 'j');  // the train.py group row
  ASSERT_EQ(app.rows[app.selected].kind, ListRow::Kind::Group);
  press(app, ' ');
  EXPECT_EQ(app.rows.size(), 3u);
  EXPECT_EQ(app.selected, 2u);
  press(app, 'r');
  EXPECT_EQ(app.rows.size(), 3u);
  EXPECT_EQ(app.selected, 2u);
  press(app, 'k');
  press(app, ' ');  // Space on a process row does nothing.
  EXPECT_EQ(app.rows.size(), 3u);
}

TEST_F(KeysTest, FilterNarrowsTheListUntilEscAndSurvivesRefresh) {
  App app = start(testing::small_snapshot());
  const auto type = [&](std::string_view text) {
    for (const char c : text) press(app, static_cast<char32_t>(c));
  };
  press(app, '/');
  type("SERVE");  // case-insensitive, typed keys do not act
  EXPECT_EQ(app.rows.size(), 2u);
  EXPECT_TRUE(app.mode.is(AppMode::Kind::Browse));
  press(app, Code::Backspace);
  type("e.py");
  press(app, Code::Enter);
  EXPECT_EQ(app.filter, "SERVe.py");
  press(app, 'r');
  EXPECT_EQ(app.rows.size(), 2u);
  EXPECT_EQ(app.status, "Found 2 groups, 1 shown");
  for (const KeyEvent cancel : {KeyEvent::of(Code::Esc), KeyEvent::ctrl('c')}) {
    press(app, '/');
    type("zz");  // matches nothing, until the typing is cancelled
    EXPECT_TRUE(app.rows.empty());
    EXPECT_EQ(handle_key(app, cancel).kind, KeyOutcome::Kind::Continue);
    EXPECT_EQ(app.filter, "SERVe.py");
    EXPECT_EQ(app.rows.size(), 2u);
  }
  press(app, '/');
  for (int i = 0; i < 8; ++i) press(app, Code::Backspace);
  type("102");  // a member's pid
  press(app, Code::Enter);
  EXPECT_EQ(app.rows.size(), 4u);
  press(app, Code::Esc);
  EXPECT_EQ(app.filter, "");
  EXPECT_EQ(app.status, "Found 2 groups");
}

TEST_F(KeysTest, ZoomedKeysScrollTheOutputAndNeverMoveTheList) {
  App app = start(testing::small_snapshot());
  app.output_view = {78, 20, 100};
  press(app, 'j');
  press(app, 'o');
  for (const KeyEvent key : {KeyEvent::character('j'), KeyEvent::of(Code::Down)}) {
    handle_key(app, key);
  }
  EXPECT_EQ(app.output_scroll, 2u);
  press(app, Code::PageDown);  // a page keeps one line of the last one in view
  EXPECT_EQ(app.output_scroll, 21u);
  for (const KeyEvent key : {KeyEvent::of(Code::End), KeyEvent::character('G')}) {
    handle_key(app, key);
    EXPECT_EQ(app.output_scroll, 100u);
  }
  press(app, 'k');
  press(app, Code::PageUp);
  EXPECT_EQ(app.output_scroll, 80u);
  press(app, 'g');
  EXPECT_EQ(app.output_scroll, 0u);
  press(app, ' ');  // the hidden list does not change either
  EXPECT_TRUE(app.collapsed.empty());
  EXPECT_EQ(app.selected, 1u);
  press(app, Code::Esc);  // back to the list, whose keys act again
  EXPECT_FALSE(app.output_zoomed);
  press(app, Code::PageDown);
  EXPECT_EQ(app.output_scroll, 5u);
  press(app, 'G');
  EXPECT_EQ(app.selected, 5u);
  // While a run is active the zoomed pane scrolls too.
  app.mode = AppMode::running();
  press(app, 'o');
  press(app, 'G');
  EXPECT_EQ(app.output_scroll, 100u);
  EXPECT_EQ(app.selected, 5u);
}

TEST_F(KeysTest, RefreshKeepsTheSelectionOnTheSameProcessOrGroup) {
  App app = start(testing::small_snapshot());
  for (int i = 0; i < 4; ++i) press(app, 'j');
  ASSERT_EQ(selected_row(app)->member->pid, 101u);
  std::erase_if(machine.snapshot, [](const auto& p) { return p.pid == 200; });
  press(app, 'r');
  EXPECT_EQ(selected_row(app)->member->pid, 101u);
  press(app, 'G');
  EXPECT_EQ(app.selected, app.rows.size() - 1);
  press(app, Code::Home);
  const std::string key = selected_row(app)->group->key;
  machine.snapshot.push_back(testing::python_process(300, 1, {"python3", "aaa.py"}));
  press(app, 'r');
  EXPECT_FALSE(selected_row(app)->member);
  EXPECT_EQ(selected_row(app)->group->key, key);
}

TEST_F(KeysTest, RefreshClampsSelectionAndKeepsListOnFailure) {
  App app = start(testing::small_snapshot());
  for (int i = 0; i < 5; ++i) press(app, 'j');
  machine.snapshot.resize(1);
  press(app, 'r');
  EXPECT_EQ(app.selected, 1u);
  EXPECT_EQ(app.status, "Found 1 group");
  machine.scan_fails = true;
  press(app, 'r');
  EXPECT_EQ(app.status, "Process refresh failed: table unavailable");
  EXPECT_EQ(app.groups.size(), 1u);
}

TEST_F(KeysTest, TopOnGroupRowShowsHints) {
  App app = start({testing::python_process(300, 1, {"python3", "solo.py"})});
  press(app, 't');
  EXPECT_EQ(app.status, "Live top needs a single process; expand the group and select a PID");
  ASSERT_EQ(app.output_lines.size(), 2u);
  EXPECT_EQ(app.output_lines[0], "Live py-spy top is available for one selected process.");
  EXPECT_TRUE(app.mode.is(AppMode::Kind::Browse));
}

TEST_F(KeysTest, PermissionPromptCancelQuitAndSudoRequest) {
  machine.permission = "needs ptrace";
  App app = start(testing::small_snapshot());
  press(app, 'd');
  ASSERT_TRUE(app.mode.is(AppMode::Kind::Permission));
  EXPECT_EQ(app.permission_message, "needs ptrace");
  EXPECT_EQ(machine.permission_pids, std::vector<uint32_t>{200});
  EXPECT_EQ(app.status, "Found 2 groups");
  // Movement is ignored while the prompt is open.
  press(app, 'j');
  EXPECT_EQ(app.selected, 0u);

  const KeyOutcome sudo = press(app, Code::Enter);
  EXPECT_EQ(sudo.kind, KeyOutcome::Kind::SudoRequest);
  EXPECT_EQ(sudo.mode, SpyMode::Dump);
  EXPECT_EQ(sudo.selection, Selection::group(app.groups[0].key));

  press(app, 'c');  // Ctrl+C arrives as "c"
  EXPECT_TRUE(app.mode.is(AppMode::Kind::Browse));
  EXPECT_EQ(app.status, "Canceled sudo prompt");

  press(app, 'd');
  press(app, Code::Esc);
  EXPECT_EQ(app.status, "Canceled sudo prompt");
  press(app, 'd');
  EXPECT_EQ(press(app, 'q').kind, KeyOutcome::Kind::Quit);
}

TEST_F(KeysTest, NInThePromptRunsWithoutSudo) {
  machine.permission = "needs ptrace";
  App app = start(testing::small_snapshot());
  press(app, 'j');  // pid 200
  press(app, 'd');
  press(app, 'n');
  ASSERT_TRUE(app.mode.is(AppMode::Kind::Running));
  EXPECT_EQ(app.output_lines.back(), "$ /opt/py-spy dump --pid 200");
  EXPECT_EQ(machine.sudo_calls, 0);
}

TEST_F(KeysTest, FailedSudoShowsRecordAndReturnsToBrowse) {
  machine.permission = "needs ptrace";
  machine.sudo_record = {"sudo -v", "", "Sorry, try again.\n", RunStatus::Failure};
  App app = start(testing::small_snapshot());
  press(app, 'd');
  resume_after_sudo(app, SpyMode::Dump, Selection::process(100), machine.sudo_record);
  EXPECT_TRUE(app.mode.is(AppMode::Kind::Browse));
  EXPECT_EQ(app.status, "sudo authentication canceled or failed");
  EXPECT_EQ(app.output_lines, (std::vector<std::string>{"$ sudo -v", "status: Failure",
                                                        "stderr:", "Sorry, try again.", ""}));
}

TEST_F(KeysTest, MissingPySpyAfterSudoKeepsPromptOpen) {
  machine.permission = "needs ptrace";
  machine.py_spy.reset();
  App app = start(testing::small_snapshot());
  press(app, Code::Enter);
  ASSERT_TRUE(app.mode.is(AppMode::Kind::Permission));
  resume_after_sudo(app, SpyMode::Record, app.mode.pending_selection, machine.sudo_record);
  EXPECT_EQ(app.status,
            "py-spy was not found; install it with `pip install py-spy` and put it on PATH or "
            "next to stackpeek");
  EXPECT_TRUE(app.mode.is(AppMode::Kind::Permission));
  EXPECT_EQ(app.mode.pending_mode, SpyMode::Record);
}

TEST_F(KeysTest, QuitAndOtherKeysInBrowse) {
  App app = start(testing::small_snapshot());
  EXPECT_EQ(press(app, Code::Esc).kind, KeyOutcome::Kind::Continue);
  EXPECT_EQ(press(app, 'c').kind, KeyOutcome::Kind::Continue);
  EXPECT_EQ(press(app, 'Q').kind, KeyOutcome::Kind::Continue);  // case-sensitive
  EXPECT_EQ(press(app, 'q').kind, KeyOutcome::Kind::Quit);
}

// The KEYS section of the manual page, from ".SH KEYS" to the next section.
std::string manual_keys_section() {
  std::ifstream in(std::string(STACKPEEK_TEST_DIR) + "/../man/stackpeek.1");
  std::stringstream text;
  text << in.rdbuf();
  const std::string roff = text.str();
  const size_t start = roff.find(".SH KEYS\n");
  if (start == std::string::npos) return {};
  return roff.substr(start, roff.find("\n.SH ", start + 1) - start);
}

// Text as roff writes it: every "-" escaped.
std::string roff(std::string_view text) {
  std::string out;
  for (const char c : text) out += c == '-' ? std::string("\\-") : std::string(1, c);
  return out;
}

TEST(KeyTableTest, ManualPageListsEveryKey) {
  const std::string section = manual_keys_section();
  ASSERT_FALSE(section.empty());
  for (const KeyBinding& binding : key_table()) {
    const std::string entry = ".B " + roff(binding.keys) + "\n";
    EXPECT_NE(section.find(entry), std::string::npos) << binding.keys;
    if (binding.help.empty()) continue;
    EXPECT_NE(section.find(entry + roff(binding.help) + "\n"), std::string::npos) << binding.help;
  }
}

TEST(KeyTableTest, HelpAndHintsComeFromTheTable) {
  EXPECT_EQ(key_help_text(),
            "Enter       Record selected process/group for 30 seconds\n"
            "d           Dump selected process/group\n"
            "t           Live py-spy top for selected PID\n"
            "w           Watch selected group for a hang (again: stop)\n"
            "r           Refresh process groups\n"
            "Space       Expand/collapse group\n"
            "j/k, arrows Move selection\n"
            "Home/End    First/last row (also g/G)\n"
            "PageUp/Down Scroll output\n"
            "o           Zoom output pane in/out\n"
            "j/k, arrows Zoomed: scroll the output a line\n"
            "PageUp/Down Zoomed: scroll a page\n"
            "Home/End    Zoomed: first/last line (also g/G)\n"
            "/           Filter the list (Enter keeps; Esc restores, then clears)\n"
            "q           Quit\n"
            "Ctrl+C      Quit; cancels an active run\n"
            "Ctrl+Z      Suspend (fg resumes)\n"
            "Ctrl+L      Repaint the screen\n");
  EXPECT_EQ(key_hints(AppMode::Kind::Browse),
            "Enter record | d dump | t top | w watch | r refresh | Space expand | j/k move | "
            "PgUp/Dn output | o zoom | / filter | q quit");
  EXPECT_EQ(key_hints(AppMode::Kind::Browse, HintForm::Keys),
            "Enter d t w r Space j/k PgUp/Dn o / q");
  EXPECT_EQ(key_hints(AppMode::Kind::Running), "Esc cancel | q quit");
  EXPECT_EQ(key_hints(AppMode::Kind::Browse, HintForm::Full, true),
            "j/k scroll | PgUp/PgDn page | g/G ends | o back");
  EXPECT_EQ(key_hints(AppMode::Kind::Running, HintForm::Full, true), "Esc cancel | q quit");
}

}  // namespace
}  // namespace stackpeek::app
