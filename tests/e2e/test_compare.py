"""The stack comparison without the screen: with the real py-spy, a process that moves on is
never "unchanged"; text output never hands the terminal a control sequence; compare's input
rules."""

import json
import os
import pty
import select
import subprocess
import tempfile
import time
import unittest

import harness
from harness import Workload

# 20 statements of 0.3 s each: two dumps a second or two apart never find the same line.
STEPPER = "import time\nwhile True:\n" + "    time.sleep(0.3)\n" * 20
HOSTILE = ["\x1b]0;TITLE\x07", "\x1b[2J", "\x1b]52;c;aGVsbG8=\x07", "two\nlines"]


def run(*args, env=None, stdin_text=""):
    return subprocess.run([harness.BINARY, *args], input=stdin_text, capture_output=True,
                          text=True, env=env, timeout=60, start_new_session=True)


def run_in_pty(*args):
    """All bytes stackpeek ARGS writes to a terminal."""
    master, slave = pty.openpty()
    proc = subprocess.Popen([harness.BINARY, *args], stdin=slave, stdout=slave, stderr=slave,
                            start_new_session=True)
    os.close(slave)
    out = b""
    while True:
        ready, _, _ = select.select([master], [], [], 30)
        if not ready:
            break
        try:
            chunk = os.read(master, 65536)
        except OSError:  # the terminal closed with the process
            break
        if not chunk:
            break
        out += chunk
    proc.wait(timeout=30)
    os.close(master)
    return proc.returncode, out


class RealPySpyRepeatTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.access(harness.REAL_PY_SPY, os.X_OK):
            raise unittest.SkipTest("real py-spy not found at %s (set STACKPEEK_REAL_PY_SPY)"
                                    % harness.REAL_PY_SPY)
        cls.work = Workload()
        cls.bin = tempfile.mkdtemp(prefix="stackpeek-real-spy-")
        os.symlink(harness.REAL_PY_SPY, os.path.join(cls.bin, "py-spy"))
        cls.env = dict(os.environ, PATH=cls.bin + ":/usr/bin:/bin")
        stepper = cls.work.script("stepper.py", STEPPER)
        # A line feed in the command makes py-spy print a Process line over two lines.
        cls.moving = cls.work.start([harness.PYTHON, stepper, "cmpStepMark"]).pid
        cls.still = cls.work.sleeper("cmpSleepMark", "x\ny").pid
        harness.wait_for_exec([cls.moving], "stepper.py")
        time.sleep(1.5)  # past the interpreter's start-up, into their loops

    @classmethod
    def tearDownClass(cls):
        cls.work.close()
        os.unlink(os.path.join(cls.bin, "py-spy"))
        os.rmdir(cls.bin)

    def dump(self, *extra):
        return run("dump", "--pid", str(self.moving), "--pid", str(self.still), "--repeat", "2",
                   "--interval", "1", *extra, env=self.env)

    def test_a_process_that_moves_on_is_not_unchanged(self):
        lines = self.dump("--json")
        self.assertEqual(lines.returncode, 0, lines.stderr)
        by_pid = {o["pid"]: o for o in map(json.loads, lines.stdout.splitlines())}
        self.assertIn("threads", by_pid[self.still])  # its two-line Process line parsed
        self.assertGreaterEqual(by_pid[self.still]["unchanged_s"], 1)
        self.assertNotIn("unchanged_s", by_pid[self.moving])
        compared = json.loads(run("compare", "--json", stdin_text=lines.stdout).stdout)
        members = {m["pid"]: m for b in compared["buckets"] for m in b["members"]}
        self.assertEqual((members[self.still]["unchanged"], members[self.moving]["unchanged"]),
                         (True, False))

        text = self.dump()
        self.assertEqual(text.returncode, 0, text.stderr)
        headers = [l for l in text.stdout.splitlines() if l.startswith("1 process: pid ")]
        self.assertEqual(len(headers), 2, text.stdout)
        for header in headers:
            still = header.startswith("1 process: pid %d" % self.still)
            self.assertEqual(", unchanged for " in header, still, text.stdout)
        self.assertNotIn("not parsed", text.stdout)


class SafeTextTest(unittest.TestCase):
    def test_list_hands_the_terminal_no_escape(self):
        work = Workload()
        try:
            work.sleeper("cmpHostileMark", *HOSTILE)
            code, out = run_in_pty("list")
        finally:
            work.close()
        self.assertEqual(code, 0)
        self.assertNotIn(b"\x1b", out)
        rows = [l for l in out.decode(errors="replace").splitlines() if "cmpHostileMark" in l]
        self.assertTrue(rows)
        # Each row holds the whole command line: nothing split it over two lines.
        for row in rows:
            self.assertIn("\\x1b]0;TITLE\\x07 \\x1b[2J \\x1b]52;c;aGVsbG8=\\x07 two\\nlines", row)


def dump_line(pid, rank, host="node1", line=7):
    return json.dumps({"host": host, "pid": pid, "rank": rank, "world_size": 4,
                       "status": "Success", "threads": [
                           {"id": str(pid), "name": "MainThread", "state": "idle",
                            "frames": [{"function": "step", "file": "train.py", "line": line}]}]})


class CompareInputTest(unittest.TestCase):
    def test_each_process_counts_once_and_task_numbers_are_no_hosts(self):
        text = ("0: %s\n1: %s\n" % (dump_line(10, 0), dump_line(11, 1, line=8))) * 2
        out = run("compare", stdin_text=text)
        self.assertEqual(out.returncode, 0)
        self.assertEqual(out.stderr.count("\n"), 1)
        self.assertIn("repeat a process", out.stderr)
        self.assertEqual(out.stdout.splitlines()[:3], [
            "Stacks compared: 2 processes on 1 host, 1 distinct, missing ranks 2,3",
            "2 processes: node1:0,1", "    step (train.py:7,8)"])
        as_json = json.loads(run("compare", "--json", stdin_text=text).stdout)
        self.assertEqual(as_json["missing_ranks"], [2, 3])
        frame = as_json["buckets"][0]["threads"][0]["frames"][0]
        self.assertEqual((frame["line"], frame["lines"]), (7, [7, 8]))

    def test_picture_of_hostile_names_and_a_folder_that_is_not_there(self):
        hostile = json.loads(dump_line(10, 0))
        hostile["threads"][0]["frames"][0].update(function="<module>", file="a&b\x1b[2J.py")
        text = "%s\n%s\n" % (json.dumps(hostile), dump_line(11, 1))
        with tempfile.TemporaryDirectory() as folder:
            svg = os.path.join(folder, "stacks.svg")
            self.assertEqual(run("compare", "--svg", svg, stdin_text=text).returncode, 0)
            boxes = harness.flame_boxes(self, svg)
            odd = next(b for b in boxes if b["title"].startswith("<module>"))
            self.assertTrue(odd["title"].startswith("<module> (a&b\\x1b[2J.py:7)\n1 of 2"), odd)
            self.assertEqual(odd["label"], "[node1:0] <module> (a&b\\x1b[2J.py:7)")
        out = run("compare", "--svg", "/nonexistent/stacks.svg", stdin_text=text)
        self.assertEqual(out.returncode, 1)
        self.assertEqual(out.stderr, "stackpeek: cannot write /nonexistent/stacks.svg: No such "
                                     "file or directory (os error 2)\n")

    def test_no_dump_lines_is_a_failure(self):
        for text in ("", "\n  \n"):
            out = run("compare", stdin_text=text)
            self.assertEqual((out.returncode, out.stdout), (1, ""))
            self.assertEqual(out.stderr, "stackpeek: no dump lines read\n")


if __name__ == "__main__":
    harness.main()
