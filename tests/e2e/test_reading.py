"""The screen follows the user: the zoomed output pane is read with the moving keys, the
list and the output pane share the rows by their text, rows keep what identifies a
process, a record counts down, the end of a live top stays in sight, the filter prompt
edits like a shell prompt, and tiny terminals get a notice that fits. At 80x24 and 200x60."""

import os
import unittest

import harness
from harness import KEY_ESC, KEY_PGDN, Term, Workload

CTRL_C = "\x03"
SIZES = ((24, 80), (60, 200))
MARK = "readMark%d" % os.getpid()


class ReadingTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = Workload()
        cls.launcher, cls.ranks = cls.work.torch_job(MARK)
        cls.sleeper = cls.work.sleeper(MARK)

    @classmethod
    def tearDownClass(cls):
        cls.work.close()

    def open(self, rows, cols, real=False, **env):
        if real:
            if not os.path.exists(harness.REAL_PY_SPY):
                self.skipTest("the real py-spy is not at %s" % harness.REAL_PY_SPY)
            env["PATH"] = os.path.dirname(harness.REAL_PY_SPY) + ":/usr/bin:/bin"
        # A group dump writes its picture in the current folder: the workload's own.
        self.term = Term(harness.BINARY, rows=rows, cols=cols, env=env, cwd=self.work.dir)
        self.term.wait_for("Found ")
        self.term.send("/")
        self.term.send(MARK, settle=0.3)
        self.term.send(harness.KEY_ENTER)
        self.term.wait_for(" shown")
        return self.term

    def tearDown(self):
        self.term.close()

    def pane_rows(self):
        return self.term._output_rows()

    def test_zoom_scrolls_the_output_and_leaves_the_list_alone(self):
        for rows, cols in SIZES:
            with self.subTest(size=(rows, cols)):
                term = self.open(rows, cols, real=True)
                term.select("[torch/ddp] 4 procs")
                term.send("d")
                term.wait_for("Completed", timeout=30)
                term.send("o")
                hints = "j/k PgUp/PgDn g/G o" if cols == 80 else "j/k scroll | PgUp/PgDn page"
                self.assertIn(hints, term.line(rows - 1))
                term.send("G")  # the end of the output, not of the list
                self.assertEqual(term.line(rows - 2).count("─"), cols - 2)
                last = self.pane_rows()
                self.assertIn("status: Success", "\n".join(last))
                term.send("g")
                first = self.pane_rows()
                self.assertTrue(first[0].startswith("Stacks compared: 4 processes"), first)
                if first != last:  # a page keeps the previous page's last line
                    term.send(KEY_PGDN)
                    self.assertEqual(self.pane_rows()[0], first[-1])
                term.send("jjkG")
                self.assertEqual(self.pane_rows(), last)
                term.send("d")  # still the torch job
                term.wait_for("Stacks compared: 4 processes", timeout=30)
                term.send("o")
                self.assertIn("[torch/ddp] 4 procs", term.selected_line())
                term.close()

    def test_space_rows_and_details_follow_the_text(self):
        for rows, cols in SIZES:
            with self.subTest(size=(rows, cols)):
                term = self.open(rows, cols)
                text = term.text()
                self.assertIn("[torch/ddp] 4 procs", text)
                self.assertIn("[process] 1 procs", text)
                row = term.select("pid %-7d" % self.sleeper.pid)
                # At 80 columns the paths shrink to their file names and the end is cut.
                shown = "python3 sleeper.py read" if cols == 80 else "/sleeper.py " + MARK
                self.assertIn(shown, row)
                if cols == 200:  # seven rows of list, the rest for the output pane
                    self.assertGreater(len(self.pane_rows()), 40)
                else:
                    self.assertEqual(len(self.pane_rows()), 7)
                lines = term.text().splitlines()
                cwd = next(l for l in lines if "│Cwd " in l)
                self.assertIn("Cwd        " + self.work.dir[:5], cwd)
                following = lines[lines.index(cwd) + 1]
                self.assertIn("│Cpu ", following)
                term.close()

    def test_a_record_counts_down_and_keeps_its_cancel_hint(self):
        term = self.open(24, 80, real=True)
        term.select("pid %-7d" % self.sleeper.pid)
        term.send(harness.KEY_ENTER)
        footer = term.wait_for("s left").splitlines()[-1]
        self.assertTrue(footer.startswith("mode: running | Esc cancel | q quit | "), footer)
        self.assertRegex(footer, r"Recording 1 process: (30|29|28) s left")
        term.wait_for(lambda t: "Recording 1 process: 27 s left" in t, timeout=6)
        term.send(KEY_ESC)
        term.wait_for("mode: browse | Canceled running py-spy command", timeout=10)

    def test_the_end_of_a_live_top_stays_in_sight(self):
        script = self.work.script("brief_%s.py" % MARK, "import time\ntime.sleep(3)\n")
        for rows, cols in SIZES:
            with self.subTest(size=(rows, cols)):
                brief = self.work.start([harness.PYTHON, script, MARK])
                harness.wait_for_exec([brief.pid], MARK)
                term = self.open(rows, cols, STACKPEEK_FAKE_TOP_DELAY="0.2")
                term.select("pid %-7d" % brief.pid)
                term.send("t")
                term.wait_for("Completed 1 py-spy command", timeout=15)
                shown = "\n".join(self.pane_rows())
                self.assertIn("process %d ended" % brief.pid, shown)
                self.assertIn("status: Success", shown)
                term.close()

    def test_filter_prompt_edits_like_a_shell_prompt(self):
        for rows, cols in SIZES:
            with self.subTest(size=(rows, cols)):
                term = self.open(rows, cols)
                self.assertIn("Found ", term.line(rows - 1))
                self.assertIn(", 3 shown", term.line(rows - 1))
                term.send("/")
                term.send("-" + "x" * cols + "-typedEnd")
                term.wait_for(lambda t: t.splitlines()[-1].rstrip().endswith("-typedEnd_"))
                self.assertIn("No process matches", term.text())
                term.send(KEY_ESC)  # the filter in force comes back
                self.assertIn("(filter: %s)" % MARK, term.text())
                term.send("/")
                term.send("zz")
                term.send(CTRL_C)  # cancels the typing, not the program
                self.assertTrue(term.child.isalive())
                self.assertIn("(filter: %s)" % MARK, term.text())
                term.send(KEY_ESC)
                term.wait_for(lambda t: "filter:" not in t)
                term.close()

    def test_tiny_terminals_get_a_notice_that_fits(self):
        term = self.open(24, 80)
        for rows, cols, notice in ((8, 30, "Too small: 30×8"), (4, 10, "10×4"),
                                   (11, 60, "Terminal too small: 60×11 (need 40×12)")):
            term.resize(rows, cols)
            term.wait_for(notice)
        term.resize(60, 200)
        term.wait_for("Python Processes")
        self.assertEqual(term.quit(), 0)


if __name__ == "__main__":
    harness.main()
