"""Dump and record runs of real processes through the stand-in py-spy."""

import glob
import json
import os
import re
import shutil
import tempfile
import time
import unittest

import harness
from harness import KEY_ENTER, KEY_ESC, Term, Workload


class RunsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = Workload()
        cls.launcher, cls.ranks = cls.work.torch_job("runMark")
        cls.solo = cls.work.sleeper("soloMark")

    @classmethod
    def tearDownClass(cls):
        cls.work.close()

    def setUp(self):
        self.cwd = tempfile.mkdtemp(prefix="stackpeek-runs-")
        self.term = None

    def tearDown(self):
        if self.term:
            self.term.close()
        shutil.rmtree(self.cwd, ignore_errors=True)

    def open(self, row="runMark [torch/ddp]", **env):
        self.term = Term(harness.BINARY, rows=60, cols=200, cwd=self.cwd, env=env)
        self.term.filter(self.work.marker)
        self.term.select(row)
        return self.term

    def folders(self):
        return sorted(glob.glob(os.path.join(self.cwd, "py-spy-report-*")))

    def page_through_output(self, pages=12):
        """The output pane shows 7 lines at a time: the screens seen while paging down."""
        seen = self.term.text()
        for _ in range(pages):
            self.term.send(harness.KEY_PGDN)
            seen += self.term.text()
        return seen

    def test_group_dump_shows_every_record(self):
        term = self.open(STACKPEEK_FAKE_SLEEP="1")
        term.send("d")
        text = term.text()
        self.assertIn("Dump started.", text)
        self.assertIn("Commands running:", text)
        term.wait_for("Completed 4 py-spy commands")
        self.assertIn("mode: browse", term.text())
        seen = self.page_through_output()
        for pid in self.ranks:
            self.assertIn("py-spy dump --pid %d" % pid, seen)
            self.assertIn('Thread %d (active+gil): "MainThread"' % pid, seen)
        self.assertIn("status: Success", seen)
        self.assertEqual(term.quit(), 0)
        self.assertNotIn(b"py-spy reports:", term.raw)

    def test_group_dump_compares_stacks_then_tells_unchanged(self):
        work = Workload()
        self.addCleanup(work.close)
        _, ranks = work.torch_job("cmpMark")
        odd = ranks[2]
        term = self.term = Term(harness.BINARY, rows=60, cols=200, cwd=self.cwd,
                                env={"STACKPEEK_FAKE_DUMP_ODD_PIDS": str(odd)})
        term.filter(work.marker)
        term.select("cmpMark [torch/ddp]")
        # At 80 columns every comparison line must fit on one row of the output pane.
        term.resize(24, 80)
        term.pump(0.5)
        term.send("d")
        first = term.wait_for("Stacks compared: 4 processes, 2 distinct")
        odd_header = "1 process: rank 2 (pid %d)" % odd
        others_header = "3 processes: ranks 0,1,3 (pids %s)" % " ".join(
            str(p) for p in ranks if p != odd)
        self.assertIn(odd_header + " ", first)
        self.assertIn("    _next_data (torch/utils/data/dataloader.py:1329)", first)
        seen = self.page_through_output(pages=6)
        self.assertIn(others_header + " ", seen)
        self.assertIn("    all_reduce (torch/distributed/distributed_c10d.py:2050)", seen)
        self.assertLess(seen.index(odd_header), seen.index(others_header))
        self.assertIn("py-spy dump --pid %d" % ranks[0], seen)  # the records follow

        time.sleep(2)
        term.send("d")
        text = term.wait_for("unchanged for")
        match = re.search(re.escape(odd_header) + r", unchanged for (\d+) s", text)
        self.assertIsNotNone(match, text)
        self.assertGreaterEqual(int(match.group(1)), 2)

    def test_group_record_writes_report_folder(self):
        term = self.open(STACKPEEK_FAKE_RECORD_SECONDS="0.5")
        term.send(KEY_ENTER)
        self.assertIn("Recording started.", term.text())
        self.assertIn("Report directory: " + self.cwd + "/py-spy-report-", term.text())
        text = term.wait_for("Report written to ")
        folders = glob.glob(os.path.join(self.cwd, "py-spy-report-*"))
        self.assertEqual(len(folders), 1)
        folder = folders[0]
        self.assertIn("Report written to " + self.cwd, text)
        seen = self.page_through_output()
        self.assertIn("Report directory: " + folder, seen)
        self.assertIn("Share report.md, report.json, and raw/ with an LLM.", seen)
        svgs = sorted(os.listdir(os.path.join(folder, "raw")))
        self.assertEqual(svgs, sorted("pid-%d.svg" % p for p in self.ranks))
        with open(os.path.join(folder, "report.json")) as f:
            report = json.load(f)
        self.assertEqual(len(report["commands"]), 4)
        self.assertEqual([c["status"] for c in report["commands"]], ["Success"] * 4)
        self.assertTrue(os.path.exists(os.path.join(folder, "report.md")))
        self.assertEqual(term.quit(), 0)
        self.assertIn(("py-spy reports:\r\n  %s\r\n" % folder).encode(), term.raw)

    def test_cancel_and_quit_stop_the_record_and_keep_its_report(self):
        for key in (KEY_ESC, "q"):
            with self.subTest(key=key):
                shutil.rmtree(self.cwd)
                os.mkdir(self.cwd)
                log = os.path.join(self.cwd, "starts.log")
                term = self.open(STACKPEEK_FAKE_LOG=log)
                term.send(KEY_ENTER)
                term.wait_for("mode: running")
                harness.await_records(self, self.ranks, term.pump, log=log)
                term.child.send(key)
                deadline = time.monotonic() + 3
                while harness.live_spies("record", self.ranks) and time.monotonic() < deadline:
                    term.pump(0.05)
                self.assertEqual(harness.live_spies("record", self.ranks), [])
                if key == KEY_ESC:
                    text = term.wait_for("mode: browse", timeout=5)
                    self.assertIn("Canceled running py-spy command", text)
                    self.assertEqual(term.output_lines()[-1], "Canceled.")
                    term.child.send("q")
                term.child.expect(harness.pexpect.EOF, timeout=10)
                raw = term.raw + term.child.before
                [folder] = self.folders()
                self.assertTrue(os.path.exists(os.path.join(folder, "report.md")))
                self.assertEqual(len(os.listdir(os.path.join(folder, "raw"))), 4)
                self.assertIn(("py-spy reports:\r\n  %s\r\n" % folder).encode(), raw)

    def test_two_records_in_one_second_make_two_folders(self):
        term = self.open("pid %-7d" % self.solo.pid, STACKPEEK_FAKE_RECORD_SECONDS="0.05")
        for count in (1, 2):
            term.send(KEY_ENTER, settle=0)
            term.wait_for(lambda t: len(self.folders()) == count and "mode: browse" in t)
        first, second = self.folders()
        self.assertNotEqual(first, second)
        self.assertEqual(term.quit(), 0)
        self.assertIn(("py-spy reports:\r\n  %s\r\n  %s\r\n" % (first, second)).encode(),
                      term.raw)

    def test_failures_tell_how_they_failed(self):
        for env, line in (({"STACKPEEK_FAKE_EXIT_CODE": "3"}, "exit code: 3"),
                          ({"STACKPEEK_FAKE_SIGNAL": "11"}, "signal: 11 (SIGSEGV)")):
            with self.subTest(line=line):
                term = self.open("pid %-7d" % self.solo.pid, **env)
                term.send("d")
                text = term.wait_for("Completed with errors in 1 py-spy command")
                self.assertIn("status: Failure\n", "\n".join(term.output_lines()) + "\n")
                self.assertIn(line, text)
                term.close()

    def test_py_spy_installed_while_running_is_found(self):
        bin_dir = os.path.join(self.cwd, "bin")
        os.mkdir(bin_dir)
        binary = os.path.join(self.cwd, "stackpeek")  # no py-spy next to it
        shutil.copy(harness.BINARY, binary)
        self.term = Term(binary, rows=60, cols=200, cwd=self.cwd,
                         env={"PATH": bin_dir + ":/usr/bin:/bin"})
        self.term.filter(self.work.marker)
        self.term.select("pid %-7d" % self.solo.pid)
        self.term.send("d")
        self.term.wait_for("py-spy was not found; install it with `pip install py-spy`")
        shutil.copy(os.path.join(harness.FAKE_BIN, "py-spy"), bin_dir)
        self.term.send("d")
        text = self.term.wait_for("Completed 1 py-spy command")
        self.assertIn("$ %s/py-spy dump --pid %d" % (bin_dir, self.solo.pid), text)

    def test_deleted_working_directory_refuses_record(self):
        term = self.open()
        os.rmdir(self.cwd)
        term.send(KEY_ENTER)
        term.wait_for("Could not create report folder: failed to read current directory")
        self.assertIn("mode: browse", term.text())


if __name__ == "__main__":
    harness.main()
