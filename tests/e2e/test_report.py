"""Report folders of a real 4-rank torch job recorded by the real py-spy: the report tells
which rank did what, also when the run is cancelled or the screen quits at once."""

import glob
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

import harness
from harness import KEY_ENTER, Term, Workload

MARKER = "reportMark%d" % os.getpid()

# Every rank burns CPU (py-spy leaves idle samples out); rank 3 in a function of its own.
JOB = """
import os, sys, time
import torch.distributed as dist

def load_batch():
    total = 0
    for i in range(20000):
        total += i * i
    return total

def train_step():
    total = 0
    for i in range(20000):
        total += i + 1
    return total

dist.init_process_group("gloo")
rank = dist.get_rank()
open(os.path.join(sys.argv[2], "ready-%d" % rank), "w").close()
work = load_batch if rank == 3 else train_step
while True:
    work()
"""


def list_groups(env):
    listed = subprocess.run([harness.BINARY, "list", "--json"], capture_output=True, text=True,
                            env=env, timeout=60, stdin=subprocess.DEVNULL)
    return json.loads(listed.stdout)


def section(markdown, title):
    start = markdown.index("## " + title + "\n")
    end = markdown.find("\n## ", start + 1)
    return markdown[start:] if end < 0 else markdown[start:end]


@unittest.skipUnless(os.access(harness.REAL_PY_SPY, os.X_OK),
                     "skipped: the real py-spy is not at %s" % harness.REAL_PY_SPY)
class ReportTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = Workload()
        bin_dir = os.path.join(cls.work.dir, "bin")
        os.mkdir(bin_dir)
        os.symlink(harness.REAL_PY_SPY, os.path.join(bin_dir, "py-spy"))
        cls.env = dict(os.environ, PATH=bin_dir + ":/usr/bin:/bin")
        script = cls.work.script("job_%s.py" % MARKER, JOB)
        port = str(21000 + os.getpid() % 9000)
        # Explicit output options: Debian's torch cannot parse their defaults on Python 3.11.
        cls.work.start([harness.PYTHON, "-m", "torch.distributed.run", "--nproc_per_node", "4",
                        "--redirects", "1", "--tee", "1", "--log_dir",
                        os.path.join(cls.work.dir, "logs"), "--master_port", port, script,
                        MARKER, cls.work.dir])
        deadline = time.monotonic() + 120
        while len(glob.glob(os.path.join(cls.work.dir, "ready-*"))) < 4:
            if time.monotonic() > deadline:
                raise AssertionError("the torch job did not start")
            time.sleep(0.2)
        cls.key, cls.pids = cls.find_group()

    @classmethod
    def find_group(cls):
        """The group of the job's ranks, found by the marker on their command lines."""
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            for group in list_groups(cls.env)["groups"]:
                ranks = {m["torch"]["rank"]: m["pid"] for m in group["members"]
                         if MARKER in " ".join(m["command"]) and m["torch"]}
                if sorted(ranks) == [0, 1, 2, 3]:
                    return group["key"], ranks
            time.sleep(0.5)
        raise AssertionError("no group holds the four ranks")

    @classmethod
    def tearDownClass(cls):
        cls.work.close()

    def setUp(self):
        self.cwd = tempfile.mkdtemp(prefix="stackpeek-report-")
        self.addCleanup(shutil.rmtree, self.cwd, True)

    def read_report(self, folder):
        with open(os.path.join(folder, "report.md")) as f:
            markdown = f.read()
        with open(os.path.join(folder, "report.json")) as f:
            report = json.load(f)
        self.assertEqual([p["pid"] for p in report["processes"]],
                         [self.pids[r] for r in range(4)])
        rows = re.findall(r"^\| (\d+) \|", section(markdown, "Processes"), re.M)
        self.assertEqual(rows, [str(self.pids[r]) for r in range(4)])
        return markdown, report

    def record(self, *args):
        return subprocess.Popen([harness.BINARY, "record", "--group", self.key, "--dir", self.cwd,
                                 *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True, env=self.env, stdin=subprocess.DEVNULL,
                                start_new_session=True)

    def test_record_names_the_odd_rank(self):
        proc = self.record("--duration", "5", "--json")
        out, err = proc.communicate(timeout=90)
        self.assertEqual(proc.returncode, 0, err)
        printed = json.loads(out)
        folder = printed["report_directory"]
        markdown, report = self.read_report(folder)
        self.assertEqual(printed["processes"], report["processes"])
        self.assertEqual(printed["profiles"], report["profiles"])
        across = section(markdown, "Across the group")
        self.assertIn("1 process: rank 3 (pid %d)" % self.pids[3], across)
        self.assertRegex(across, r"`load_batch \(\S*job_%s.py:\d+\)`: rank 3 \d+ %%, "
                                 r"ranks 0-2 0 %%" % MARKER)
        self.assertLess(across.index("rank 3 (pid"), across.index("ranks 0-2 (pids"))
        for rank in range(4):
            profile = report["profiles"][rank]
            with open(os.path.join(folder, profile["folded"])) as f:
                counts = [int(line.rsplit(" ", 1)[1]) for line in f]
            self.assertEqual(sum(counts), report["processes"][rank]["samples"])
            self.assertEqual(profile["samples"], report["processes"][rank]["samples"])
            hot = "load_batch" if rank == 3 else "train_step"
            self.assertTrue(profile["top_functions"][0]["function"].startswith(hot), profile)
        self.assertIn("[group.svg](group.svg)", across)
        boxes = harness.flame_boxes(self, os.path.join(folder, "group.svg"))
        total = sum(p["samples"] for p in report["processes"])
        self.assertIn("%d samples" % total, boxes[0]["title"])
        odd = next(b for b in boxes if b["title"].startswith("load_batch ("))
        self.assertRegex(odd["title"], r"rank 3: (100(\.0)?|9\d(\.\d)?) %")
        self.assertGreater(int(odd["fill"][1:3], 16), int(odd["fill"][5:7], 16))  # red
        self.assertTrue(odd["label"].startswith("[rank 3] load_batch"))
        self.assertRegex(section(markdown, "Processes"),
                         r"\| %d \| 3/4 \| .* \| completed, [\d.]+ s of 5 s \| `\S*python3 -u "
                         r"\S*job_%s.py %s " % (self.pids[3], MARKER, MARKER))

    def test_stopped_record_still_writes_a_complete_report(self):
        proc = self.record("--duration", "30")
        harness.await_records(self, list(self.pids.values()))
        time.sleep(4)
        proc.send_signal(signal.SIGTERM)
        out, err = proc.communicate(timeout=30)
        self.assertEqual(proc.returncode, 128 + signal.SIGTERM, err)
        markdown, report = self.read_report(out.strip())
        self.assertRegex(markdown, r"\n- Canceled after \d+ s of 30\n")
        self.assertTrue(all(p["canceled"] for p in report["processes"]))
        self.assertIn("## Where the time went", markdown)
        self.assertEqual(glob.glob(os.path.join(out.strip(), "*.partial")), [])

    def start_screen_record(self):
        term = Term(harness.BINARY, rows=50, cols=200, cwd=self.cwd,
                    env={"PATH": self.env["PATH"]})
        self.addCleanup(term.close)
        term.wait_for("mode: browse")
        term.send("/" + MARKER + KEY_ENTER)
        term.select("[torch/ddp]")
        term.send(KEY_ENTER)
        term.wait_for("mode: running")
        harness.await_records(self, list(self.pids.values()), term.pump)
        return term

    def test_cancelled_record_on_the_screen_opens_with_the_summary(self):
        term = self.start_screen_record()
        time.sleep(4)
        term.send(harness.KEY_ESC)
        text = term.wait_for("mode: browse", timeout=20)
        self.assertIn("group picture group.svg", text)  # wait_for returns the screen
        lines = term.output_lines()
        # The stacks as sampling ended open it, then the profiles' heaviest stacks.
        self.assertEqual(lines[0], "Stacks when sampling ended:")
        heaviest = lines.index("Heaviest stacks:")
        self.assertEqual(lines[heaviest + 1], "Stacks compared: 4 processes, 2 distinct")
        self.assertTrue(lines[heaviest + 2].startswith("1 process: rank 3 (pid %d)"
                                                       % self.pids[3]), lines)
        self.assertIn("Canceled running py-spy command", text)
        markdown, _ = self.read_report(glob.glob(os.path.join(self.cwd, "py-spy-report-*"))[0])
        self.assertRegex(markdown, r"\n- Canceled after \d+ s of 30\n")

    def test_quit_at_once_on_the_screen_leaves_a_listed_report(self):
        term = self.start_screen_record()
        time.sleep(2)
        term.child.send("qq")
        term.child.expect(harness.pexpect.EOF, timeout=20)
        raw = term.raw + (term.child.before or b"")
        folders = glob.glob(os.path.join(self.cwd, "py-spy-report-*"))
        self.assertEqual(len(folders), 1)
        self.assertIn(("py-spy reports:\r\n  %s\r\n" % folders[0]).encode(), raw)
        markdown, report = self.read_report(folders[0])
        self.assertIn("\n- Canceled after ", markdown)
        self.assertEqual(len(report["profiles"]), 4)
        self.assertEqual(harness.live_spies("record", list(self.pids.values())), [])


if __name__ == "__main__":
    harness.main()
