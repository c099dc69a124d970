"""How long stackpeek's own waiting adds to a dump, with the real py-spy, side by side.

Starts 16 quiet Python processes, then times (median of RUNS runs each):
- `stackpeek dump --pid P` against `py-spy dump --pid P` alone and `stackpeek list --json`;
- `stackpeek dump` of all 16 against `xargs -P16 py-spy dump` of the same pids;
- a stop: `stackpeek record` of one process interrupted with SIGINT, from the signal to its
  exit, against `py-spy record` alone interrupted the same way.
Usage: /usr/bin/python3 bench/dump_wait_bench.py build/release/stackpeek
(the real py-spy as the tests find it: $STACKPEEK_REAL_PY_SPY or ../shared/py-spy/bin/py-spy)
"""

import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import harness  # noqa: E402

RUNS = 15
STOPS = 5
SLEEPER = "import time\nwhile True:\n    time.sleep(0.5)\n"


def median_ms(command, env, runs=RUNS):
    times = []
    for _ in range(runs):
        start = time.monotonic()
        subprocess.run(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        times.append((time.monotonic() - start) * 1000)
    return statistics.median(times)


def stop_ms(command, env, out):
    times = []
    for _ in range(STOPS):
        proc = subprocess.Popen(command, env=env, cwd=out, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        time.sleep(1.5)
        start = time.monotonic()
        proc.send_signal(signal.SIGINT)
        proc.wait(timeout=30)
        times.append((time.monotonic() - start) * 1000)
    return statistics.median(times)


def main():
    if not os.path.exists(harness.REAL_PY_SPY):
        print("dump_wait_bench: the real py-spy was not found")
        return 2
    binary = os.path.abspath(sys.argv[1])
    spy = harness.REAL_PY_SPY
    work = harness.Workload()
    out = tempfile.mkdtemp(prefix="stackpeek-bench-")
    try:
        script = work.script("sleeper.py", SLEEPER)
        pids = [work.start([harness.PYTHON, script, "dumpWaitBench"]).pid for _ in range(16)]
        harness.wait_for_exec(pids, "dumpWaitBench")
        bin_dir = os.path.join(work.dir, "bin")
        os.mkdir(bin_dir)
        os.symlink(spy, os.path.join(bin_dir, "py-spy"))
        env = dict(os.environ, PATH=bin_dir + ":/usr/bin:/bin")
        one = str(pids[0])
        every = [arg for pid in pids for arg in ("--pid", str(pid))]
        alone = median_ms([spy, "dump", "--pid", one], env)
        listed = median_ms([binary, "list", "--json"], env)
        ours = median_ms([binary, "dump", "--pid", one], env)
        print(f"1 process: stackpeek dump {ours:.0f} ms, py-spy dump alone {alone:.0f} ms "
              f"({ours / alone:.2f}x, goal 2x), stackpeek list --json {listed:.0f} ms")
        xargs = median_ms(["sh", "-c", "printf '%s\\n' " + " ".join(map(str, pids)) +
                           " | xargs -P16 -I{} " + spy + " dump --pid {}"], env)
        ours16 = median_ms([binary, "dump"] + every, env)
        print(f"16 processes: stackpeek dump {ours16:.0f} ms, xargs -P16 py-spy dump "
              f"{xargs:.0f} ms ({ours16 / xargs:.2f}x, goal 1.1x)")
        record_alone = stop_ms([spy, "record", "--pid", one, "-o", "alone.svg", "-d", "30"],
                               env, out)
        record_ours = stop_ms([binary, "record", "--pid", one, "--duration", "30"], env, out)
        print(f"stop after SIGINT: stackpeek record {record_ours:.0f} ms, py-spy record alone "
              f"{record_alone:.0f} ms")
        print(f"load average: {os.getloadavg()[0]:.1f}")
    finally:
        work.close()
        subprocess.run(["rm", "-rf", out])
    return 0


if __name__ == "__main__":
    sys.exit(main())
