"""Dump, record, cancel and the failures, against the real py-spy and real Python processes."""

import json
import os
import pwd
import re
import shutil
import subprocess
import tempfile
import time
import unittest
import xml.etree.ElementTree as ElementTree

import harness
from harness import KEY_ENTER, KEY_ESC, Term, Workload

NOBODY = "nobody"

# A sleeping main thread, a named sleeping thread, an unnamed one and a busy one. The
# sleeps are long, so py-spy never catches a sleeper between two of them (active).
THREADS = """
    import _thread, sys, threading, time

    def spin():
        x = 0
        while True: x += 1

    def nap():
        while True:
            time.sleep(1000)

    def raw_nap():
        while True:
            time.sleep(1000)

    threading.Thread(target=nap, name="named-napper", daemon=True).start()
    threading.Thread(target=spin, name="busy-spinner", daemon=True).start()
    _thread.start_new_thread(raw_nap, ())
    while True:
        time.sleep(1000)
    """


def run(*args, env=None, user=None):
    """stackpeek ARGS without a terminal, with the real py-spy."""
    full = dict(os.environ, **harness.real_env())
    full.update(env or {})
    return subprocess.run([harness.BINARY, *args], capture_output=True, text=True, env=full,
                          timeout=120, start_new_session=True, stdin=subprocess.DEVNULL,
                          user=user)


def py_spy_threads(pid):
    """py-spy's own `dump --json` as stackpeek's thread objects, in its text dump's order."""
    status, out = harness.real_dump(pid, "--json")
    assert status == 0, out
    threads = []
    for thread in reversed(json.loads(out)):  # --json lists them last first
        state = "active+gil" if thread["owns_gil"] else "active" if thread["active"] else "idle"
        frames = [{"function": f["name"], "file": f["short_filename"], "line": f["line"]}
                  for f in thread["frames"]]
        threads.append({"id": str(thread["os_thread_id"]), "name": thread["thread_name"],
                        "state": state, "frames": frames})
    return threads


def without_busy_line(thread):
    """The thread with the busy loop's line and state left out: they move between dumps."""
    if thread["name"] != "busy-spinner":
        return thread
    return dict(thread, state=thread["state"].split("+")[0], frames=thread["frames"][1:])


def dead_pid():
    child = subprocess.Popen(["true"])
    child.wait()
    return child.pid


def svg_text(path):
    root = ElementTree.parse(path).getroot()
    return "".join(root.itertext())


class RealPySpyTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = Workload()
        script = cls.work.script("threads.py", THREADS)
        cls.target = cls.work.start([harness.PYTHON, script, "realSpyMark"])
        harness.wait_for_exec([cls.target.pid], "realSpyMark")
        cls.sleeper = cls.work.start(["/bin/sleep", "600"])  # not Python
        cls.watched = [cls.target.pid, cls.sleeper.pid]

    @classmethod
    def tearDownClass(cls):
        cls.work.close()

    def setUp(self):
        self.cwd = tempfile.mkdtemp(prefix="stackpeek-real-")
        self.addCleanup(shutil.rmtree, self.cwd, ignore_errors=True)
        self.addCleanup(harness.assert_no_spies, self, self.watched)

    def open(self, command=None, args=(), env=None):
        term = Term(command or harness.BINARY, args, rows=50, cols=160, cwd=self.cwd,
                    env=dict(harness.real_env(), **(env or {})))
        self.addCleanup(term.close)
        self.addCleanup(term.quit_cleanly)
        term.filter(str(self.target.pid))
        term.select("pid %-7d" % self.target.pid)
        return term

    def test_dump_parses_every_thread_py_spy_printed(self):
        deadline = time.monotonic() + 30
        while len(theirs := py_spy_threads(self.target.pid)) < 4:  # until every thread started
            self.assertLess(time.monotonic(), deadline, theirs)
            time.sleep(0.2)
        dumped = run("dump", "--pid", str(self.target.pid), "--json")
        self.assertEqual((dumped.returncode, dumped.stderr), (0, ""))
        [line] = [json.loads(text) for text in dumped.stdout.splitlines()]
        self.assertEqual((line["pid"], line["status"]), (self.target.pid, "Success"))
        ours = line["threads"]
        self.assertEqual([t["name"] for t in ours],
                         ["MainThread", "named-napper", "busy-spinner", None])
        self.assertEqual(ours[0]["id"], str(self.target.pid))
        self.assertEqual([t["frames"][0]["function"] for t in ours],
                         ["<module>", "nap", "spin", "raw_nap"])
        self.assertTrue(ours[2]["state"].startswith("active"), ours[2])
        self.assertEqual([without_busy_line(t) for t in ours],
                         [without_busy_line(t) for t in theirs])

    def test_record_of_a_busy_process(self):
        recorded = run("record", "--pid", str(self.target.pid), "--duration", "3",
                       "--dir", self.cwd, "--json")
        self.assertEqual(recorded.returncode, 0, recorded.stderr)
        doc = json.loads(recorded.stdout)
        folder = doc["report_directory"]
        [record] = doc["records"]
        self.assertEqual(record["status"], "Success")
        samples = re.search(r"Samples: (\d+) Errors: \d+", record["stdout"])
        self.assertIsNotNone(samples, record["stdout"])
        self.assertGreater(int(samples.group(1)), 0)
        svg = os.path.join(folder, "raw", "pid-%d.svg" % self.target.pid)
        self.assertIn("spin (threads.py:", svg_text(svg))
        with open(os.path.join(folder, "report.md")) as f:
            report = f.read()
        self.assertIn("Wrote flamegraph data to '%s'" % svg, report)
        with open(os.path.join(folder, "report.json")) as f:
            self.assertEqual([c["status"] for c in json.load(f)["commands"]], ["Success"])

    def test_record_cancelled_after_two_seconds_keeps_svg_and_report(self):
        term = self.open()
        term.send(KEY_ENTER)
        harness.await_records(self, [self.target.pid], term.pump)
        term.pump(2)
        term.child.send(KEY_ESC)
        term.wait_for("mode: browse", timeout=5)
        self.assertEqual(term.output_lines()[-1], "Canceled.")
        [folder] = [os.path.join(self.cwd, d) for d in os.listdir(self.cwd)]
        with open(os.path.join(folder, "report.json")) as f:
            [command] = json.load(f)["commands"]
        self.assertEqual(command["status"], "Success", command)
        self.assertIn("py-spy> Stopped sampling because Control-C pressed", command["stdout"])
        svg = os.path.join(folder, "raw", "pid-%d.svg" % self.target.pid)
        self.assertIn("spin (threads.py:", svg_text(svg))
        self.assertTrue(os.path.isfile(os.path.join(folder, "report.md")))

    def test_not_python_and_gone(self):
        for pid, error in ((self.sleeper.pid, "Error: Failed to find python version from target"
                                              " process"),
                           (dead_pid(), "Error: Failed to get process executable name. Check "
                                        "that the process is running.")):
            with self.subTest(pid=pid):
                dumped = run("dump", "--pid", str(pid))
                self.assertEqual(dumped.returncode, 1)
                lines = dumped.stdout.splitlines()
                header = lines.index("1 process: pid %d, dump failed" % pid)
                self.assertEqual(lines[header + 1].strip(), error)
                self.assertIn("status: Failure", lines)
                as_json = json.loads(run("dump", "--pid", str(pid), "--json").stdout)
                self.assertEqual((as_json["status"], as_json["exit_code"]), ("Failure", 1))
                self.assertTrue(as_json["stderr"].startswith(error), as_json)

    def test_another_users_process_without_sudo(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to start stackpeek as the user %s" % NOBODY)
        nobody = pwd.getpwnam(NOBODY)
        # The binary in a folder the user can read, and no sudo on its PATH.
        binary = os.path.join(self.cwd, "stackpeek")
        shutil.copy(harness.BINARY, binary)
        os.chmod(self.cwd, 0o777)
        if subprocess.run([harness.REAL_PY_SPY, "--version"], capture_output=True,
                          user=nobody.pw_uid).returncode != 0:
            self.skipTest("the user %s cannot run %s" % (NOBODY, harness.REAL_PY_SPY))
        as_nobody = ["--reuid=%d" % nobody.pw_uid, "--regid=%d" % nobody.pw_gid,
                     "--clear-groups", "--", binary]
        dumped = subprocess.run(["/usr/bin/setpriv", *as_nobody, "dump", "--pid",
                                 str(self.target.pid)], capture_output=True, text=True,
                                env=dict(os.environ, **harness.real_env()), timeout=120,
                                stdin=subprocess.DEVNULL)
        self.assertEqual(dumped.returncode, 1)
        denied = "Permission Denied: Try running again with elevated permissions"
        self.assertIn("1 process: pid %d, dump failed" % self.target.pid, dumped.stdout)
        self.assertIn("    " + denied, dumped.stdout)

        term = self.open("/usr/bin/setpriv", as_nobody, env={"HOME": self.cwd})
        term.send("d")
        term.wait_for("Permission Needed")
        term.send("n")
        term.wait_for("Completed with errors in 1 py-spy command", timeout=30)
        self.assertIn(denied, "\n".join(term.output_lines()))


if __name__ == "__main__":
    harness.main(real_py_spy=True)
