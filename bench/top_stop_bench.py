"""Stop latency of a live top: from a stop key to the browse footer, with the real py-spy.

Starts one busy Python process, opens stackpeek at 100x30 in a pseudo-terminal, and 20 times
starts a live top on it, waits for its first function row, and stops it with Esc (then `c`,
then Ctrl+C, in turn); prints the median and the slowest stop.
Usage: /usr/bin/python3 bench/top_stop_bench.py build/release/stackpeek
(the real py-spy as the tests find it: $STACKPEEK_REAL_PY_SPY or ../shared/py-spy/bin/py-spy)
"""

import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import harness  # noqa: E402

RUNS = 20
KEYS = ["\x1b", "c", "\x03"]
BUSY = "def burn_bench():\n    n = 0\n    while True:\n        n += 1\n\nburn_bench()\n"


def main():
    if not harness.REAL_PY_SPY:
        print("top_stop_bench: the real py-spy was not found")
        return 2
    binary = os.path.abspath(sys.argv[1])
    work = harness.Workload()
    term = None
    try:
        busy = work.start([harness.PYTHON, work.script("busy.py", BUSY), "stopBenchMark"])
        harness.wait_for_exec([busy.pid], "stopBenchMark")
        bin_dir = os.path.join(work.dir, "bin")
        os.mkdir(bin_dir)
        os.symlink(harness.REAL_PY_SPY, os.path.join(bin_dir, "py-spy"))
        term = harness.Term(binary, rows=30, cols=100, env={"PATH": bin_dir + ":/usr/bin:/bin"})
        term.wait_for("Found ")
        term.send("/")
        term.send("stopBenchMark", settle=0.3)
        term.send(harness.KEY_ENTER)
        term.wait_for("stopBenchMark")
        term.select("pid %-7d" % busy.pid)
        stops = []
        for run in range(RUNS):
            term.send("t")
            term.wait_for("Streaming live py-spy top")
            term.wait_for("burn_bench (", timeout=15)
            start = time.monotonic()
            term.child.send(KEYS[run % len(KEYS)])
            while "mode: browse" not in term.text():
                term.pump(0.005)
            stops.append(time.monotonic() - start)
        print("live top stop, key to browse footer, %d runs: median %.0f ms, max %.0f ms "
              "(goal: every stop within 1 s)"
              % (RUNS, statistics.median(stops) * 1000, max(stops) * 1000))
        return 0
    finally:
        if term:
            term.close()
        work.close()


if __name__ == "__main__":
    sys.exit(main())
