"""Stop latency of a live top: from a stop key to the browse footer, with the real py-spy.

Starts one busy Python process, opens stackpeek at 100x30 in a pseudo-terminal, and 20 times
starts a live top on it, waits for its first function row, and stops it with Esc (then `c`,
then Ctrl+C, in turn); prints the median and the slowest stop.
With --sudo (as root), 10 stops of a live top through the real sudo instead: stackpeek runs
as a user made for the run with a password and a sudoers entry, against root's process.
Usage: /usr/bin/python3 bench/top_stop_bench.py build/release/stackpeek [--sudo]
(the real py-spy as the tests find it: $STACKPEEK_REAL_PY_SPY or ../shared/py-spy/bin/py-spy)
"""

import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import harness  # noqa: E402

RUNS = 20
SUDO_RUNS = 10
SUDO_USER = "spk-stop-bench"
SUDO_PASSWORD = "Stop-bench-pw-3"
KEYS = ["\x1b", "c", "\x03"]
BUSY = "def burn_bench():\n    n = 0\n    while True:\n        n += 1\n\nburn_bench()\n"


def main():
    if not harness.REAL_PY_SPY:
        print("top_stop_bench: the real py-spy was not found")
        return 2
    binary = os.path.abspath(sys.argv[1])
    through_sudo = "--sudo" in sys.argv[2:]
    work = harness.Workload()
    term = None
    user = None
    try:
        busy = work.start([harness.PYTHON, work.script("busy.py", BUSY), "stopBenchMark"])
        harness.wait_for_exec([busy.pid], "stopBenchMark")
        bin_dir = os.path.join(work.dir, "bin")
        os.mkdir(bin_dir)
        os.symlink(harness.REAL_PY_SPY, os.path.join(bin_dir, "py-spy"))
        env = {"PATH": bin_dir + ":/usr/bin:/bin"}
        command = [binary]
        if through_sudo:
            user = harness.SudoUser(SUDO_USER, SUDO_PASSWORD)
            os.chmod(work.dir, 0o755)
            env = user.env(bin_dir, work.dir)
            command = user.command(binary)
        term = harness.Term(command[0], command[1:], rows=30, cols=100, env=env)
        term.wait_for("Found ")
        term.send("/")
        term.send("stopBenchMark", settle=0.3)
        term.send(harness.KEY_ENTER)
        term.wait_for("stopBenchMark")
        term.select("pid %-7d" % busy.pid)
        stops = []
        runs = SUDO_RUNS if through_sudo else RUNS
        for run in range(runs):
            term.send("t")
            if through_sudo:  # the pop-up, then the password once
                term.wait_for("Permission Needed")
                term.send(harness.KEY_ENTER, settle=1.0)
                if run == 0:
                    term.child.send(SUDO_PASSWORD + "\r")
            term.wait_for("Streaming live py-spy top")
            term.wait_for("burn_bench (", timeout=15)
            start = time.monotonic()
            term.child.send(KEYS[run % len(KEYS)])
            while "mode: browse" not in term.text():
                term.pump(0.005)
            stops.append(time.monotonic() - start)
        print("live top stop%s, key to browse footer, %d runs: median %.0f ms, max %.0f ms "
              "(goal: every stop within 1 s)"
              % (" through sudo" if through_sudo else "", runs,
                 statistics.median(stops) * 1000, max(stops) * 1000))
        return 0
    finally:
        if term:
            term.close()
        work.close()
        if user:
            user.close()


if __name__ == "__main__":
    sys.exit(main())
