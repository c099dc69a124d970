"""The screen at every size, the zoomed output, the selection across refreshes and the
terminal's own keys (Ctrl+C, Ctrl+Z, Ctrl+L, TERM), in real pseudo-terminals and tmux."""

import os
import shutil
import subprocess
import time
import unicodedata
import unittest

import harness
from harness import KEY_ESC, Term, Workload

CTRL_C, CTRL_D, CTRL_L = "\x03", "\x04", "\x0c"


def columns(text):
    return sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text)


class ScreenTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = Workload()
        cls.first = cls.work.sleeper("screenMarkA")
        cls.second = cls.work.sleeper("screenMarkB")

    @classmethod
    def tearDownClass(cls):
        cls.work.close()

    def open(self, rows, cols, **env):
        self.term = Term(harness.BINARY, rows=rows, cols=cols, env=env)
        self.term.filter(self.work.marker)
        return self.term

    def tearDown(self):
        self.term.close()

    def test_live_top_shows_its_function_rows_at_80x24_and_zooms(self):
        term = self.open(24, 80, STACKPEEK_FAKE_TOP_DELAY="0.2")
        term.select("pid %-7d" % self.first.pid)
        term.send("t")
        term.wait_for("main (train.py)")
        self.assertIn("forward (model.py)", term.text())
        self.assertIn("mode: running | Esc cancel | q quit | ", term.text())
        term.send("o")  # the zoomed pane takes the list's rows too
        term.wait_for(lambda t: "Python Processes" not in t and "main (train.py)" in t)
        term.send(KEY_ESC)
        term.wait_for("mode: browse")
        self.assertNotIn("Python Processes", term.text())
        term.send("o")
        term.wait_for("Python Processes")
        for _ in range(20):  # Page Down stops once the last line shows
            term.send(harness.KEY_PGDN, settle=0.02)
        term.wait_for("Canceled.")
        term.pump(0.3)
        last_page = term.text()
        term.send(harness.KEY_PGUP)  # one step back from the end shows earlier lines
        term.wait_for(lambda t: t != last_page)
        self.assertIn("forward (model.py)", term.text())

    def test_short_and_tiny_terminals(self):
        term = self.open(14, 80)
        lines = term.text().splitlines()
        output_top = next(i for i, l in enumerate(lines) if l.startswith("┌py-spy Output"))
        self.assertEqual(output_top, 8)  # the list keeps its 8 rows, the output pane shrinks
        term.resize(10, 50)
        term.wait_for("Terminal too small: 50×10 (need 40×12)")
        term.send("j")  # ignored while too small
        term.resize(30, 100)
        term.wait_for("Python Processes")
        self.assertIsNotNone(term.selected_line())
        self.assertTrue(term.selected_line().startswith("│> v "))
        self.assertEqual(term.quit(), 0)

    def test_status_shows_whole_at_80_columns(self):
        term = self.open(24, 80)
        term.select("pid %-7d" % self.first.pid)
        term.send("t")
        term.wait_for("Streaming live py-spy top")
        term.send(KEY_ESC)
        status = "Canceled running py-spy command"
        term.wait_for(status)
        self.assertEqual(term.line(23).rstrip(), "mode: browse | " + status)

    def test_selection_stays_on_its_process_after_refresh(self):
        term = self.open(40, 160)
        row = term.select("pid %-7d" % self.second.pid).split("││")[0]
        extra = self.work.sleeper("aaaScreenFirst")  # a new group, listed before ours
        try:
            term.send("r", settle=0.5)
            term.wait_for("aaaScreenFirst")
            self.assertEqual(term.selected_line().split("││")[0], row)
        finally:
            os.kill(extra.pid, 9)
        term.send(KEY_ESC)  # a new filter, not the workload's one extended
        term.send("/")
        term.send("SCREENMARKb", settle=0.3)
        self.assertIn("Filter: SCREENMARKb_", term.text())
        term.send(harness.KEY_ENTER)
        term.send("r", settle=0.5)
        text = term.text()
        self.assertIn("Python Processes (filter: SCREENMARKb)", text)
        self.assertNotIn("screenMarkA", text)
        self.assertEqual(term.selected_line().split("││")[0], row)
        term.send(KEY_ESC)
        term.wait_for(lambda t: "(filter:" not in t)

    def test_ctrl_keys(self):
        term = self.open(30, 120)
        term.select("pid %-7d" % self.first.pid)
        term.send(CTRL_D, settle=0.5)  # Ctrl+D is not "d"
        self.assertNotIn("Dump started", term.text())
        self.assertIn("Output appears here", term.text())
        term.send(CTRL_L)
        term.send("t")
        term.wait_for("Streaming live py-spy top")
        term.send(CTRL_C)
        term.wait_for("Canceled running py-spy command")
        term.child.send(CTRL_C)
        term.child.expect(harness.pexpect.EOF, timeout=10)


class TermTest(unittest.TestCase):
    def run_with_term(self, term):
        env = {"TERM": term} if term is not None else {}
        t = Term(harness.BINARY, rows=24, cols=80, env=env)
        if term is None:
            t.child.env.pop("TERM", None)
        return t

    def test_dumb_terminal_is_refused_and_unknown_falls_back(self):
        t = self.run_with_term("dumb")
        t.child.expect(harness.pexpect.EOF, timeout=10)
        t.child.close()
        self.assertEqual(t.child.exitstatus, 1)
        self.assertIn(b"cannot move the cursor", t.child.before)
        t = self.run_with_term("no-such-terminal")
        try:
            t.wait_for("Python Processes")
            self.assertEqual(t.quit(), 0)
        finally:
            t.close()


@unittest.skipUnless(shutil.which("tmux"), "tmux is not installed")
class TmuxTest(unittest.TestCase):
    """tmux measures text itself, so a row as wide as the program thinks stays in its pane."""

    @classmethod
    def setUpClass(cls):
        cls.work = Workload()
        # A joined family emoji, a flag with a variation selector, a right-to-left override.
        cls.wide = cls.work.sleeper("wideMark", "\U0001F468\u200D\U0001F469\u200D\U0001F467"
                                    "\u2691\uFE0F\u202Eevil\u202C\tend")
        cls.sock = "stackpeek-e2e-%d" % os.getpid()

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["tmux", "-L", cls.sock, "kill-server"], capture_output=True)
        cls.work.close()

    def tmux(self, *args):
        return subprocess.run(["tmux", "-L", self.sock, *args], capture_output=True,
                              text=True, check=True).stdout

    def capture(self):
        return self.tmux("capture-pane", "-p", "-t", "t").splitlines()

    def wait_for(self, check, timeout=15):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            lines = self.capture()
            if check(lines):
                return lines
            time.sleep(0.2)
        raise AssertionError("screen:\n" + "\n".join(self.capture()))

    def test_joined_emoji_stay_inside_the_pane_and_ctrl_z_suspends(self):
        env = "PATH=%s:/usr/bin:/bin LANG=C.UTF-8" % harness.FAKE_BIN
        self.tmux("-f", "/dev/null", "new-session", "-d", "-s", "t", "-x", "250", "-y", "40",
                  "env %s bash --norc -i" % env)
        self.tmux("send-keys", "-t", "t", "TERM=tmux-256color %s" % harness.BINARY, "Enter")
        self.wait_for(lambda ls: any("Python Processes" in l for l in ls))
        self.tmux("send-keys", "-t", "t", "/", "wideMark", "Enter")
        self.wait_for(lambda ls: any("wideMark" in l for l in ls))
        for _ in range(100):
            if any(l.startswith("│> ") and "wideMark" in l and "pid" in l for l in self.capture()):
                break
            self.tmux("send-keys", "-t", "t", "j")
        lines = self.capture()
        row = next(l for l in lines if "wideMark" in l and "pid" in l)
        self.assertIn("evil end", row)  # the override is gone, the tab is a space
        border = columns(lines[0][:lines[0].index("┐┌")])
        output = next(i for i, l in enumerate(lines) if l.startswith("┌py-spy Output"))
        for line in lines[:output]:  # every border of the list and the Details box is in place
            if line.startswith("│"):
                self.assertEqual(columns(line[:line.index("││")]), border, line)
        self.tmux("send-keys", "-t", "t", "C-z")
        self.wait_for(lambda ls: any("Stopped" in l for l in ls))
        self.tmux("send-keys", "-t", "t", "fg", "Enter")
        self.wait_for(lambda ls: any(l.startswith("mode: browse") for l in ls))
        self.tmux("send-keys", "-t", "t", "q")
        self.wait_for(lambda ls: not any(l.startswith("mode: browse") for l in ls))


if __name__ == "__main__":
    harness.main()
