"""Keeps COUNT (default 100) unrelated Python processes alive until Ctrl+C or SIGTERM, so the
end-to-end tests can be run on a machine that is not theirs alone:

    /usr/bin/python3 tests/e2e/busy_machine.py [COUNT] &
    ctest --preset release -L e2e
    kill %1

The processes: a torch-style job of eight ranks (RANK, LOCAL_RANK, WORLD_SIZE, MASTER_ADDR,
MASTER_PORT set, as a launcher leaves them), a multiprocessing tree of four, copies of one
queue worker, a few busy loops, and lone sleepers with distinct command lines."""

import os
import signal
import subprocess
import sys
import tempfile
import textwrap
import time

PYTHON = "/usr/bin/python3"

SLEEP = "import time\nwhile True: time.sleep(0.5)\n"
BUSY = "import time\nwhile True:\n    sum(range(10000))\n    time.sleep(0.01)\n"
TREE = textwrap.dedent("""
    import multiprocessing, time
    def work():
        while True:
            time.sleep(0.5)
    if __name__ == "__main__":
        multiprocessing.set_start_method("fork")
        for _ in range(3):
            multiprocessing.Process(target=work).start()
        while True:
            time.sleep(0.5)
    """)


def start(argv, env):
    """Starts `argv` through a shell that exits at once, so that it is nobody's child here (no
    process tree of the load), in a process group of its own; returns that group."""
    shell = subprocess.run(["/bin/sh", "-c", '"$@" </dev/null >/dev/null 2>&1 & echo $!', "sh",
                            *argv], env=dict(os.environ, **env), capture_output=True, text=True,
                           check=True, start_new_session=True)
    return os.getpgid(int(shell.stdout))


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 100
    folder = tempfile.mkdtemp(prefix="busy-machine-")
    scripts = {}
    for name, body in (("train.py", SLEEP), ("queue_worker.py", SLEEP), ("spin.py", BUSY),
                       ("loader.py", TREE), ("idle.py", SLEEP)):
        scripts[name] = os.path.join(folder, name)
        with open(scripts[name], "w") as f:
            f.write(body)

    commands = []  # (argv, extra environment)
    for rank in range(8):
        commands.append(([PYTHON, scripts["train.py"], "--epochs", "10"],
                         {"RANK": str(rank), "LOCAL_RANK": str(rank), "WORLD_SIZE": "8",
                          "MASTER_ADDR": "127.0.0.1", "MASTER_PORT": "29500"}))
    commands.append(([PYTHON, scripts["loader.py"]], {}))  # four processes
    commands += [([PYTHON, scripts["queue_worker.py"], "--queue", "jobs"], {})] * 10
    commands += [([PYTHON, scripts["spin.py"]], {})] * 3
    while len(commands) + 3 < count:
        commands.append(([PYTHON, scripts["idle.py"], "job-%d" % len(commands)], {}))
    commands = commands[:max(count - 3, 1)]

    groups = [start(argv, env) for argv, env in commands]
    print("busy_machine: %d Python processes under %s; Ctrl+C stops them"
          % (len(groups) + 3, folder), flush=True)

    def stop(*_):
        for group in groups:
            try:
                os.killpg(group, signal.SIGKILL)
            except ProcessLookupError:
                pass
        subprocess.run(["rm", "-rf", folder])
        sys.exit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGHUP, stop)
    try:
        while True:
            time.sleep(1)
    except KeyboardInterrupt:
        stop()


if __name__ == "__main__":
    main()
