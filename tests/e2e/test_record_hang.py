"""A record of a hung job (four gloo ranks, rank 3 blocked in `load_batch`, the others
waiting in `all_reduce`) with the real py-spy: the report names the stuck rank alone and
says the waiting ranks were idle; the screen shows a record's countdown and a running watch."""

import json
import os
import re
import shutil
import subprocess
import tempfile
import unittest

import harness
from harness import Term, TorchJob


def run(*args, cwd=None):
    """stackpeek ARGS without a terminal, with the real py-spy."""
    env = dict(os.environ, **harness.real_env())
    return subprocess.run([harness.BINARY, *args], capture_output=True, text=True, env=env,
                          timeout=120, start_new_session=True, stdin=subprocess.DEVNULL, cwd=cwd)


def section(markdown, title):
    start = markdown.index("## " + title + "\n")
    end = markdown.find("\n## ", start + 1)
    return markdown[start:] if end < 0 else markdown[start:end]


class RecordHangTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.job = TorchJob("recordHangMark")
        cls.group = cls.job.group()

    @classmethod
    def tearDownClass(cls):
        cls.job.close()

    def setUp(self):
        self.cwd = tempfile.mkdtemp(prefix="stackpeek-hang-")
        self.addCleanup(shutil.rmtree, self.cwd, True)
        self.addCleanup(harness.assert_no_spies, self, self.job.ranks)

    def test_record_report_names_the_stuck_rank_and_the_idle_ones(self):
        result = run("record", "--group", self.group["key"], "--duration", "4", "--json",
                     cwd=self.cwd)
        folder = json.loads(result.stdout)["report_directory"]
        with open(os.path.join(folder, "report.md")) as f:
            markdown = f.read()
        with open(os.path.join(folder, "report.json")) as f:
            report = json.load(f)
        stuck = self.job.ranks[TorchJob.SLOW_RANK]
        self.assertIn('"Stacks when sampling ended"', section(markdown, "How to use this report "
                                                                       "with an LLM"))
        final = section(markdown, "Stacks when sampling ended")
        self.assertRegex(final, r"Odd one out: rank 3 \(pid %d\) in `load_batch`, while 3 "
                                r"others are in `all_reduce`\." % stuck)
        self.assertLess(final.index("1 process: rank 3 (pid %d)\n    load_batch (" % stuck),
                        final.index("3 processes: ranks 0-2"))
        processes = section(markdown, "Processes")
        for rank, pid in enumerate(self.job.ranks):
            if rank != TorchJob.SLOW_RANK:  # no sample at all, or a few of 400
                self.assertRegex(processes, r"- pid %d \(rank %d/4\): (The process was idle|"
                                 r"\d+ samples? of \d+ expected, idle \d+ %% of the time)"
                                 % (pid, rank))
        self.assertEqual(report["final_stacks"]["odd_one_out"].split(":")[0], "Odd one out")
        dumped = {d["pid"]: d["threads"][0]["frames"][0]["function"]
                  for d in report["final_stacks"]["dumps"]}
        self.assertEqual(dumped, {pid: self.job.function_of(rank)
                                  for rank, pid in enumerate(self.job.ranks)})
        self.assertTrue(all(p["samples_expected"] for p in report["processes"]), report)

    def test_screen_counts_down_names_w_and_shows_a_running_watch(self):
        term = Term(harness.BINARY, rows=40, cols=80, cwd=self.cwd, env=harness.real_env())
        self.addCleanup(term.close)
        term.filter(self.job.work.marker)
        term.select("[torch/ddp]")
        self.assertIn(" w ", term.line(39))  # the keys alone at 80 columns
        term.send(harness.KEY_ENTER)
        footer = term.wait_for(lambda t: re.search(r"Recording 4 processes: \d+ s left", t))
        self.assertRegex(footer, r"Recording 4 processes: (2\d|30) s left")
        term.send(harness.KEY_ESC)
        term.wait_for("mode: browse", timeout=30)
        term.resize(40, 200)
        term.send("w")
        text = term.wait_for("watching 1 group")
        self.assertIn(" t w r ", text.splitlines()[-1])
        self.assertIn("w watches for a hang", text)
        term.send("w")
        term.wait_for(lambda t: "watching 1 group" not in t)
        term.quit_cleanly()


if __name__ == "__main__":
    harness.main(real_py_spy=True)
