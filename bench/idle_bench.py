"""Idle cost of the interface: bytes written and CPU used in browse mode, and how often the
screen is written while a record run counts down.

Starts 200 Python processes, opens stackpeek in a pseudo-terminal, waits for the first
frame, then leaves it idle for 10 seconds and prints what it wrote and the CPU it used.
Then it starts a record of one process and counts the tenths of a second in which the
screen was written over 5 seconds (goal: one per second).
Usage: /usr/bin/python3 bench/idle_bench.py build/release/stackpeek
"""

import os
import re
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import harness  # noqa: E402

IDLE_SECONDS = 10
RECORD_SECONDS = 5


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def groups(text):
    found = re.search(r"Found (\d+) groups", text)
    return int(found.group(1)) if found else 0


def record_writes(term):
    term.send(harness.KEY_DOWN)  # a process row
    term.send(harness.KEY_ENTER)
    term.wait_for(" s of 30", timeout=10)
    written = 0
    for _ in range(RECORD_SECONDS * 10):
        before = len(term.raw)
        term.pump(0.1)
        written += len(term.raw) > before
    print("record countdown: the screen was written in %d of %d tenths of a second over %d s"
          " (goal %d)" % (written, RECORD_SECONDS * 10, RECORD_SECONDS, RECORD_SECONDS))
    term.send(harness.KEY_ESC)
    term.wait_for("mode: browse", timeout=10)


def main():
    binary = os.path.abspath(sys.argv[1])
    work = harness.Workload()
    try:
        for i in range(200):
            work.sleeper("idleBench%d" % i)
        time.sleep(2)
        term = harness.Term(binary, rows=60, cols=200)
        term.wait_for("Found ", timeout=30)
        for _ in range(10):  # some sleepers may still have been starting
            if groups(term.text()) >= 200:
                break
            term.send("r", settle=1.0)
        print("groups listed: %d" % groups(term.text()))
        term.pump(1.0)  # let the first frames settle
        before_bytes, before_cpu = len(term.raw), cpu_seconds(term.child.pid)
        term.pump(IDLE_SECONDS)
        written = len(term.raw) - before_bytes
        cpu = cpu_seconds(term.child.pid) - before_cpu
        print("idle browse, 200 Python processes listed, %d s:" % IDLE_SECONDS)
        print("  bytes written after the first frame: %d (goal 0)" % written)
        print("  CPU time: %.3f s = %.2f %% of one core (goal <= 0.3 %%)"
              % (cpu, 100.0 * cpu / IDLE_SECONDS))
        record_writes(term)
        term.quit()
    finally:
        work.close()


if __name__ == "__main__":
    main()
