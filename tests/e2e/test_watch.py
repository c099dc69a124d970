"""`stackpeek watch` with the real py-spy: a real 4-rank gloo job whose rank 3 hangs is
reported stuck with its evidence kept; a lost rank and SIGTERM; a progressing process is
never stuck."""

import glob
import json
import os
import queue
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

import harness
from harness import Workload

HANG_JOB = """
import os, sys, time
import torch
import torch.distributed as dist

def load_batch():
    while True:
        time.sleep(0.2)

def main():
    dist.init_process_group("gloo")
    rank = dist.get_rank()
    open(sys.argv[2] + "-ready-%d" % rank, "w").close()
    for step in range(1000000):
        if rank == 3 and step == 40:
            open(sys.argv[2], "w").close()
            load_batch()
        try:
            dist.all_reduce(torch.ones(4))
        except RuntimeError:  # a peer died: stay, as ranks left behind by a crash do
            while True:
                time.sleep(0.2)
        time.sleep(0.1)

main()
"""

# Two functions alternate at a depth that changes every 0.1 s, so no two rounds a second
# apart are likely to catch one stack, let alone five in a row.
PROGRESS = """
import sys, time

def step_a(depth):
    return step_b(depth - 1) if depth else time.sleep(0.1)

def step_b(depth):
    return step_a(depth - 1) if depth else time.sleep(0.1)

n = 0
while True:
    step_a(n % 7)
    n += 1
"""


def skip_without_py_spy():
    if not os.access(harness.REAL_PY_SPY, os.X_OK):
        raise unittest.SkipTest("the real py-spy is not at %s (set STACKPEEK_REAL_PY_SPY)"
                                % harness.REAL_PY_SPY)


class Watcher:
    """`stackpeek watch ARGS --json` with the real py-spy first on PATH; its events read
    as they come."""

    def __init__(self, args, cwd):
        spy_dir = tempfile.mkdtemp(prefix="stackpeek-spy-")
        os.symlink(harness.REAL_PY_SPY, os.path.join(spy_dir, "py-spy"))
        env = dict(os.environ, PATH=spy_dir + ":/usr/bin:/bin")
        self.stderr = open(os.path.join(cwd, "watch.err"), "w")
        self.proc = subprocess.Popen([harness.BINARY, "watch", "--json", *args], cwd=cwd,
                                     env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=self.stderr, text=True, start_new_session=True)
        self.events = queue.Queue()
        self.seen = []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.events.put(json.loads(line))

    def wait_for(self, kind, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                event = self.events.get(timeout=max(0.01, deadline - time.monotonic()))
            except queue.Empty:
                break
            self.seen.append(event)
            if event["event"] == kind:
                return event
        raise AssertionError("no %s event in %s s; saw %s" % (kind, timeout, self.seen))

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()
        self.stderr.close()


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return str(sock.getsockname()[1])


def group_of(marker, size, timeout=60):
    """The key of the torch group whose ranks run `marker`, once it has `size` members."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        listed = subprocess.run([harness.BINARY, "list", "--json"], capture_output=True,
                                text=True, timeout=30)
        for group in json.loads(listed.stdout)["groups"]:
            members = group["members"]
            if len(members) == size and all(marker in " ".join(m["command"]) for m in members):
                return group["key"], {m["torch"]["rank"]: m["pid"] for m in members}
        time.sleep(0.5)
    raise AssertionError("no group of %d ranks running %s" % (size, marker))


class WatchTest(unittest.TestCase):
    def setUp(self):
        skip_without_py_spy()
        self.work = Workload()
        self.out = tempfile.mkdtemp(prefix="stackpeek-watch-")
        self.watchers = []

    def tearDown(self):
        for watcher in self.watchers:
            watcher.stop()
        self.work.close()
        subprocess.run(["rm", "-rf", self.out])

    def watch(self, *args):
        watcher = Watcher(args, self.out)
        self.watchers.append(watcher)
        return watcher

    def test_hung_rank_is_stuck_with_evidence_then_lost_then_sigterm(self):
        marker = "watchHang%d" % os.getpid()
        script = self.work.script(marker + ".py", HANG_JOB)
        blocked = os.path.join(self.work.dir, "blocked")
        # torch 1.13's launcher needs its redirects named; the long monitor interval keeps
        # it from stopping the other ranks before the watch sees the lost one.
        self.work.start([harness.PYTHON, "-m", "torch.distributed.run", "--nproc_per_node", "4",
                         "--redirects", "1", "--tee", "1",
                         "--log_dir", os.path.join(self.work.dir, "logs"),
                         "--master_port", free_port(), "--monitor_interval", "60", script,
                         marker, blocked])
        deadline = time.monotonic() + 120
        while len(glob.glob(blocked + "-ready-*")) < 4 and time.monotonic() < deadline:
            time.sleep(0.1)
        key, ranks = group_of(marker, 4)
        watcher = self.watch("--group", key, "--every", "1", "--stuck-after", "5",
                             "--record", "2", "--dir", self.out, "--exec",
                             'echo "$STACKPEEK_GROUP $STACKPEEK_EVIDENCE" > exec.txt')
        deadline = time.monotonic() + 60
        while not os.path.exists(blocked) and time.monotonic() < deadline:
            time.sleep(0.1)
        stuck = watcher.wait_for("stuck", timeout=12)
        self.assertEqual(stuck["group"], key)
        self.assertEqual(sorted(m["rank"] for m in stuck["members"]), [0, 1, 2, 3])
        self.assertGreaterEqual(stuck["unchanged_s"], 5)
        self.assertIn("rank 3 in load_batch", stuck["detail"])
        evidence = stuck["evidence"]
        self.assertTrue(os.path.basename(evidence).startswith("stackpeek-watch-"))
        with open(os.path.join(evidence, "compare.txt")) as f:
            self.assertIn("unchanged for", f.read())
        with open(os.path.join(evidence, "dumps.jsonl")) as f:
            dumps = [json.loads(line) for line in f]
        self.assertEqual(sorted(d["rank"] for d in dumps), [0, 1, 2, 3])
        with open(os.path.join(evidence, "history.txt")) as f:
            self.assertIn("rank 3 (pid %d)" % ranks[3], f.read())
        boxes = harness.flame_boxes(self, os.path.join(evidence, "stacks.svg"))
        self.assertTrue(any(b["label"].startswith("[rank 3] load_batch") for b in boxes))
        merged = subprocess.run([harness.BINARY, "compare",
                                 os.path.join(evidence, "dumps.jsonl")],
                                capture_output=True, text=True, timeout=30)
        self.assertIn("Stacks compared: 4 processes", merged.stdout)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and not os.path.exists(
                os.path.join(self.out, "exec.txt")):
            time.sleep(0.1)
        reports = glob.glob(os.path.join(evidence, "py-spy-report-*", "report.json"))
        self.assertEqual(len(reports), 1)
        folder = os.path.dirname(reports[0])
        self.assertEqual(len(glob.glob(os.path.join(folder, "raw", "*"))), 4)
        # The same full report as `record` writes.
        with open(os.path.join(folder, "report.md")) as f:
            report = f.read()
        self.assertIn("## Processes", report)
        self.assertIn("## Where the time went", report)
        # The blocked rank has a folded profile unless py-spy saw it idle the whole time.
        folded = os.path.join(folder, "profiles", "pid-%d.folded" % ranks[3])
        self.assertTrue(os.path.exists(folded) or "idle for the whole run" in report, report)
        with open(os.path.join(self.out, "exec.txt")) as f:
            self.assertEqual(f.read().split(), [key, evidence])

        os.kill(ranks[3], signal.SIGKILL)
        lost = watcher.wait_for("lost", timeout=10)
        self.assertEqual([m["rank"] for m in lost["members"]], [3])

        watcher.proc.send_signal(signal.SIGTERM)
        self.assertEqual(watcher.proc.wait(timeout=10), 0)
        self.assertEqual(harness.live_spies("dump", list(ranks.values())), [])
        self.assertEqual(harness.live_spies("record", list(ranks.values())), [])

    def test_progressing_process_is_never_stuck(self):
        script = self.work.script("watchProgress%d.py" % os.getpid(), PROGRESS)
        started = self.work.start([harness.PYTHON, script])
        harness.wait_for_exec([started.pid], "watchProgress")
        watcher = self.watch("--pid", str(started.pid), "--every", "1", "--stuck-after", "5")
        self.assertEqual(watcher.wait_for("started", timeout=10)["members"][0]["pid"],
                         started.pid)
        time.sleep(30)
        watcher.proc.send_signal(signal.SIGINT)
        self.assertEqual(watcher.proc.wait(timeout=10), 0)
        while not watcher.events.empty():
            watcher.seen.append(watcher.events.get())
        self.assertEqual([e["event"] for e in watcher.seen], ["started"])
        self.assertEqual(glob.glob(os.path.join(self.out, "stackpeek-watch-*")), [])


class ScreenWatchTest(unittest.TestCase):
    def test_w_watches_the_group_and_tags_it_until_w_again(self):
        skip_without_py_spy()
        work = Workload()
        self.addCleanup(work.close)
        marker = "scrWatchMark%d" % os.getpid()
        _, ranks = work.torch_job(marker)
        spy_dir = tempfile.mkdtemp(prefix="stackpeek-spy-")
        os.symlink(harness.REAL_PY_SPY, os.path.join(spy_dir, "py-spy"))
        term = harness.Term(harness.BINARY, rows=40, cols=200, cwd=work.dir,
                            env={"PATH": spy_dir + ":/usr/bin:/bin"})
        self.addCleanup(term.close)
        term.filter(marker)
        term.select(marker, "[torch/ddp]")
        term.send("w")
        term.wait_for("Watching")
        # Rounds about 30 s apart: the tag shows once a round finds the stacks unchanged for
        # more than 30 s (the third round at the latest).
        text = term.wait_for("(unchanged ", timeout=100)
        self.assertRegex(text, r"\(unchanged (\d+s|1m)\) \[torch/ddp\]")
        term.send("w")
        term.wait_for("Stopped watching")
        term.quit()
        self.assertEqual(harness.live_spies("dump", ranks), [])


if __name__ == "__main__":
    harness.main()
