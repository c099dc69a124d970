"""Dump and record runs of real processes through the stand-in py-spy."""

import glob
import json
import os
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
        cls.launcher, cls.ranks = cls.work.torch_job("runMark", port="29611")

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

    def open(self, **env):
        self.term = Term(harness.BINARY, rows=60, cols=200, cwd=self.cwd, env=env)
        self.term.wait_for("runMark")
        self.term.select("runMark [torch/ddp]")
        return self.term

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
        term.wait_for("Completed 4 py-spy command(s)")
        self.assertIn("mode: browse", term.text())
        seen = self.page_through_output()
        for pid in self.ranks:
            self.assertIn("py-spy dump --pid %d" % pid, seen)
            self.assertIn('Thread %d (active+gil): "MainThread"' % pid, seen)
        self.assertIn("status: Success", seen)
        self.assertEqual(term.quit(), 0)
        self.assertNotIn(b"py-spy reports:", term.raw)

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

    def test_cancelled_record_is_not_listed(self):
        term = self.open(STACKPEEK_FAKE_RECORD_SECONDS="3")
        term.send(KEY_ENTER)
        term.wait_for("mode: running")
        term.send(KEY_ESC, settle=0.3)
        self.assertIn("Canceled running py-spy command", term.text())
        self.assertIn("mode: browse", term.text())
        self.assertEqual(term.quit(), 0)
        self.assertNotIn(b"py-spy reports:", term.raw)

    def test_deleted_working_directory_refuses_record(self):
        term = self.open()
        os.rmdir(self.cwd)
        term.send(KEY_ENTER)
        term.wait_for("Could not create report folder: failed to read current directory")
        self.assertIn("mode: browse", term.text())


if __name__ == "__main__":
    harness.main()
