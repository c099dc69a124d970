"""Live py-spy top: frames stream into the output pane until Esc or until py-spy ends."""

import os
import time
import unittest

import harness
from harness import KEY_ESC, Term, Workload


def children_of(pid):
    found = []
    for task in os.listdir("/proc/%d/task" % pid):
        with open("/proc/%d/task/%s/children" % (pid, task)) as f:
            found += [int(c) for c in f.read().split()]
    return found


class TopTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = Workload()
        cls.target = cls.work.sleeper("topMark")
        cls.tree_parent, _ = cls.work.process_tree("topTree", children=1)

    @classmethod
    def tearDownClass(cls):
        cls.work.close()

    def open(self, **env):
        env.setdefault("STACKPEEK_FAKE_TOP_DELAY", "0.1")
        self.term = Term(harness.BINARY, rows=60, cols=200, env=env)
        self.term.filter(self.work.marker)
        return self.term

    def tearDown(self):
        self.term.close()

    def total_samples(self):
        for line in self.term.text().splitlines():
            if "Total Samples" in line:
                return line.split("│")[1].strip()
        return None

    def test_frames_replace_each_other_until_esc(self):
        term = self.open()
        term.select("pid %-7d" % self.target.pid)
        term.send("t")
        term.wait_for("Live py-spy top.")
        first = term.wait_for("Total Samples") and self.total_samples()
        term.wait_for(lambda t: self.total_samples() not in (None, first))
        text = term.text()
        self.assertEqual(text.count("Total Samples"), 1)
        self.assertIn("Collecting samples from", text)
        self.assertNotIn("[2K", text)
        self.assertIn("Streaming live py-spy top", text)
        spies = children_of(term.child.pid)
        self.assertEqual(len(spies), 1)
        term.child.send(KEY_ESC)
        start = time.monotonic()
        while os.path.exists("/proc/%d" % spies[0]) and time.monotonic() - start < 2:
            time.sleep(0.01)
        self.assertFalse(os.path.exists("/proc/%d" % spies[0]), "py-spy top still there")
        term.pump(0.3)
        self.assertIn("Canceled running py-spy command", term.text())
        shown = self.total_samples()
        self.assertIsNotNone(shown)  # the last frame stays, and no later one replaces it
        term.pump(0.5)
        self.assertEqual(self.total_samples(), shown)
        self.assertIn("mode: browse", term.text())

    def test_top_that_ends_keeps_its_frame_and_a_failing_one_its_stderr(self):
        script = self.work.script("brief.py", "import time\ntime.sleep(4)\n")
        brief = self.work.start([harness.PYTHON, script, "briefMark"])
        harness.wait_for_exec([brief.pid], "briefMark")
        term = self.open()
        term.select("pid %-7d" % brief.pid)
        term.send("t")
        term.wait_for("Completed 1 py-spy command")
        self.assertIn("mode: browse", term.text())
        lines = term.output_lines()
        ended = "process %d ended" % brief.pid
        self.assertEqual(lines.count(ended), 1)
        samples = [i for i, line in enumerate(lines) if line.startswith("Total Samples")]
        self.assertEqual(len(samples), 1, lines)
        self.assertLess(samples[0], lines.index(ended))
        self.assertEqual(lines[lines.index(ended) + 3], "status: Success")
        term.close()

        term = self.open(STACKPEEK_FAKE_EXIT_CODE="3")
        term.select("pid %-7d" % self.target.pid)
        term.send("t")
        text = term.wait_for("Completed with errors in 1 py-spy command")
        for line in ("status: Failure", "exit code: 3", "stderr:",
                     "Error: stand-in failure with exit status 3"):
            self.assertIn(line, text)

    def test_py_spy_gets_a_terminal_the_size_of_the_pane(self):
        os.makedirs(os.path.join(self.work.dir, "size"), exist_ok=True)
        spy = self.work.script("size/py-spy", "#!/bin/sh\nwhile :; do\n"
                               "  printf '\\033[H\\r\\033[2Kpane %s\\n' \"$(stty size)\"\n"
                               "  sleep 0.1\ndone\n")
        os.chmod(spy, 0o755)
        term = self.term = Term(harness.BINARY, rows=30, cols=100,
                                env={"PATH": os.path.dirname(spy) + ":/usr/bin:/bin"})
        term.wait_for("Found ")
        term.send("/")
        term.send("topMark", settle=0.3)
        term.send(harness.KEY_ENTER)
        term.select("pid %-7d" % self.target.pid)
        term.send("t")
        term.wait_for("pane 19 98")  # the output pane's inside at 100x30
        term.send("o")
        term.wait_for("pane 27 98")  # zoomed
        term.send(KEY_ESC)
        term.wait_for("mode: browse")

    def test_top_on_group_row_shows_hints(self):
        term = self.open()
        term.select("[process tree] 2 procs")
        term.send("t")
        text = term.text()
        self.assertIn("Live py-spy top is available for one selected process.", text)
        self.assertIn("For multiprocessing and torchrun/DDP sibling ranks, use Enter to record the"
                      " group.", text)
        self.assertIn("mode: browse", text)


if __name__ == "__main__":
    harness.main()
