"""Browsing: groups and rows of real processes, keys, Details, quitting cleanly."""

import os
import re
import unittest

import harness
from harness import Term, Workload


class BrowseTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = Workload()
        cls.tree_parent, cls.tree_kids = cls.work.process_tree("treeMark")
        cls.launcher, cls.ranks = cls.work.torch_job("rankMark")
        cls.evil = cls.work.sleeper("evilMark", "\x1b]0;PWNED\x07", "\x1b[31mRED\x1b[0m",
                                    "\x1b[2J\x1b[H", b"\xff\xfebad")

    @classmethod
    def tearDownClass(cls):
        cls.work.close()

    def setUp(self):
        self.term = Term(harness.BINARY, rows=50, cols=200)
        self.term.filter(self.work.marker)
        self.term.wait_for("rankMark")

    def tearDown(self):
        self.term.close()

    def test_groups_and_member_rows(self):
        text = self.term.text()
        self.assertRegex(text, r"v \S.*rankMark \[torch/ddp\] 4 procs")
        self.assertRegex(text, r"v \S.*pids_treeMark \[process tree\] 4 procs")
        # Ranks are listed in rank order, each with its rank text.
        rank_rows = [l for l in text.splitlines()
                     if self.work.dir + "/rank_worker.py" in l and "pid " in l]
        self.assertEqual(len(rank_rows), 4)
        for r, (row, pid) in enumerate(zip(rank_rows, self.ranks)):
            self.assertIn("pid %-7d rank %d/4 local %d " % (pid, r, r), row)
        # Too long for the row, the command shows its paths' file names.
        tree_pids = [int(m) for m in re.findall(r"pid (\d+) +python3 tree_treeMark\.py treeMark ",
                                                text)]
        self.assertEqual(tree_pids, sorted([self.tree_parent] + self.tree_kids))

    def test_details_follow_selection_and_keys_act(self):
        term = self.term
        mine = self.work.dir + "/rank_worker.py"
        row = term.select("rank 1/4", mine)
        self.assertIn(str(self.ranks[1]), row)
        text = term.text()
        self.assertIn("Pid        %d" % self.ranks[1], text)
        self.assertIn("Torch      rank 1/4 local 1", text)
        self.assertIn("t runs live py-spy top for this PID.", text)
        term.send("k")
        self.assertIn("Torch      rank 0/4 local 0", term.text())
        term.send("k")  # the group row
        text = term.text()
        self.assertIn("Kind       torch/ddp", text)
        self.assertIn("Processes  4", text)
        term.send(" ")
        self.assertRegex(term.text(), r"> > \S.*rankMark \[torch/ddp\] 4 procs")
        self.assertNotIn(mine, term.text())
        term.send("r", settle=0.5)  # the group stays collapsed and selected
        self.assertNotIn(mine, term.text())
        self.assertRegex(term.selected_line(), r"> > \S.*rankMark \[torch/ddp\]")
        term.send(" ")
        term.wait_for(mine)
        self.assertRegex(term.text(), r"mode: browse \| .*\| q quit \| Found \d+ groups")

    def test_hostile_command_line_is_drawn_harmless(self):
        term = self.term
        term.select("evilMark")
        term.pump(0.3)
        self.assertNotIn(b"PWNED\x07", term.raw)
        self.assertNotIn(b"\x1b]0;", term.raw)
        self.assertEqual(term.screen.title, "")
        text = term.text()
        self.assertIn("]0;PWNED", text)
        self.assertIn("[31mRED[0m", text)
        self.assertIn("\ufffd\ufffdbad", text)
        # The list is still intact: a clear-screen sequence in the name did not wipe it.
        self.assertIn("Python Processes", text)
        self.assertIn("rankMark", text)


class QuitTest(unittest.TestCase):
    def test_quit_restores_the_terminal(self):
        work = Workload()
        shell = Term("/bin/bash", ["--norc", "--noprofile"], rows=30, cols=120,
                     env={"PS1": "$ "})
        try:
            shell.pump(0.5)
            shell.send("%s\r" % harness.BINARY, settle=0.2)
            shell.wait_for("Python Processes")
            shell.send("q", settle=0.5)
            shell.send("stty -a; echo DONE-$?\r", settle=0.5)
            text = shell.wait_for("DONE-0")
            self.assertRegex(text, r"(?<!-)icanon")
            self.assertRegex(text, r"(?<![-\w])echo\b")
            raw = shell.raw
            self.assertGreater(raw.rfind(b"\x1b[?1049l"), raw.rfind(b"\x1b[?1049h"))
            self.assertGreater(raw.rfind(b"\x1b[?25h"), raw.rfind(b"\x1b[?25l"))
        finally:
            shell.close()
            work.close()

    def test_sigterm_restores_the_terminal_like_quit(self):
        shell = Term("/bin/bash", ["--norc", "--noprofile"], rows=30, cols=120,
                     env={"PS1": "$ "})
        try:
            shell.pump(0.5)
            # Without job control the program stays in the foreground process group.
            shell.send("set +m; %s </dev/tty & p=$!; sleep 1.5; kill -TERM $p; wait $p; "
                       "echo STATUS-$?; stty -a; echo DONE-$?\r" % harness.BINARY, settle=0.2)
            text = shell.wait_for("DONE-", timeout=15)
            self.assertRegex(text, r"(?<!-)icanon")
            raw = shell.raw
            self.assertGreater(raw.rfind(b"\x1b[?1049l"), raw.rfind(b"\x1b[?1049h"))
        finally:
            shell.close()


if __name__ == "__main__":
    harness.main()
