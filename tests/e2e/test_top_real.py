"""Live top with the real py-spy, which reads keys from its standard input: it runs on a
terminal of stackpeek's own, so every stop key reaches stackpeek, and none reaches py-spy."""

import os
import time
import unittest

import pexpect

import harness
from harness import KEY_ENTER, KEY_ESC, Term, Workload

CTRL_C = "\x03"
STOP_LIMIT = 1.0  # seconds from a stop key to the browse footer
BROWSE = "mode: browse"
STREAMING = "Streaming live py-spy top"

BUSY = """
def burn_top_mark():
    n = 0
    while True:
        n += 1

burn_top_mark()
"""

BRIEF = """
import time

def burn_briefly():
    end = time.monotonic() + 8
    while time.monotonic() < end:
        pass

burn_briefly()
"""


class RealTopTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = Workload()
        cls.busy = cls.work.start([harness.PYTHON, cls.work.script("busy_top.py", BUSY),
                                   "realTopMark"])
        harness.wait_for_exec([cls.busy.pid], "realTopMark")
        cls.bin = os.path.join(cls.work.dir, "bin")
        os.mkdir(cls.bin)
        os.symlink(harness.REAL_PY_SPY, os.path.join(cls.bin, "py-spy"))
        cls.targets = [cls.busy.pid]

    @classmethod
    def tearDownClass(cls):
        cls.work.close()

    def open(self, marker, pid):
        """stackpeek at 100x30 with the real py-spy, the list filtered to `marker` and the row
        of `pid` selected."""
        self.term = Term(harness.BINARY, rows=30, cols=100,
                         env={"PATH": self.bin + ":/usr/bin:/bin"})
        self.term.wait_for("Found ")
        self.term.send("/")
        self.term.send(marker, settle=0.3)
        self.term.send(KEY_ENTER)
        self.term.wait_for(marker)
        self.term.select("pid %-7d" % pid)
        return self.term

    def tearDown(self):
        self.term.close()
        deadline = time.monotonic() + 3
        while harness.live_spies("top", self.targets) and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(harness.live_spies("top", self.targets), [], "py-spy top left running")

    def start_top(self, term):
        term.send("t")
        term.wait_for(STREAMING)
        return term.wait_for("Total Samples", timeout=15)

    def assert_stops(self, term, key):
        """`key` ends the live top: the browse footer within a second, and its py-spy gone."""
        self.assertIn(STREAMING, term.text())
        start = time.monotonic()
        term.child.send(key)
        while BROWSE not in term.text() and time.monotonic() - start < 5:
            term.pump(0.01)
        elapsed = time.monotonic() - start
        self.assertIn(BROWSE, term.text())
        self.assertLess(elapsed, STOP_LIMIT, "stopped after %.2f s by %r" % (elapsed, key))
        self.assertIn("Canceled running py-spy command", term.text())
        self.assertEqual(harness.live_spies("top", self.targets), [])

    def test_function_rows_of_a_busy_process_fit_the_pane(self):
        term = self.open("realTopMark", self.busy.pid)
        self.start_top(term)
        text = term.wait_for("burn_top_mark (busy_top.py", timeout=15)
        # Sized to the pane, py-spy's whole screen shows, but for its key hint: no key
        # reaches it.
        for line in ("Collecting samples from", "%Own", "<module> (busy_top.py"):
            self.assertIn(line, text)
        self.assertNotIn("? for help", text)
        self.assertNotIn("[2K", text)
        self.assert_stops(term, KEY_ESC)

    def test_esc_stops_it_every_time(self):
        term = self.open("realTopMark", self.busy.pid)
        for _ in range(10):
            self.start_top(term)
            self.assert_stops(term, KEY_ESC)

    def test_c_ctrl_c_and_q_stop_it(self):
        term = self.open("realTopMark", self.busy.pid)
        for key in ("c", CTRL_C):
            self.start_top(term)
            self.assert_stops(term, key)
        self.start_top(term)
        start = time.monotonic()
        term.child.send("q")
        term.child.expect(pexpect.EOF, timeout=5)
        self.assertLess(time.monotonic() - start, STOP_LIMIT)
        self.assertEqual(harness.live_spies("top", self.targets), [])

    def test_target_that_exits_ends_it(self):
        brief = self.work.start([harness.PYTHON, self.work.script("brief_top.py", BRIEF),
                                 "briefTopMark"])
        harness.wait_for_exec([brief.pid], "briefTopMark")
        self.targets = [self.busy.pid, brief.pid]
        term = self.open("briefTopMark", brief.pid)
        self.start_top(term)
        term.wait_for("burn_briefly (brief_top.py", timeout=15)
        text = term.wait_for("Completed 1 py-spy command", timeout=20)
        self.assertIn(BROWSE, text)
        self.assertIn("process %d ended" % brief.pid, term.output_lines())


if __name__ == "__main__":
    harness.main(real_py_spy=True)
