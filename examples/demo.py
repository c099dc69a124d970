#!/usr/bin/env python3
"""A quiet Python workload to try stackpeek on.

    python3 examples/demo.py        # in one terminal; Ctrl+C stops everything
    ./dev.sh run                    # in another

It starts, each detached from this script so that they group on their own:
  - a data loader: a multiprocessing parent with three worker children (a process tree);
  - a launcher whose command line names torchrun, with four ranks carrying RANK, LOCAL_RANK,
    WORLD_SIZE, MASTER_ADDR and MASTER_PORT (a torch/ddp job);
  - two copies of one queue worker with the same interpreter, folder and arguments (a runtime
    group).
Every process does a little arithmetic and sleeps, so the machine stays idle. Standard library
only; the script re-executes itself with a role argument for each kind of process.
"""

import multiprocessing
import os
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.basename(__file__)
OWNER_VARIABLE = "STACKPEEK_DEMO_OWNER"
TICK = 0.2  # seconds between two small pieces of work

# Role command lines, run with the examples folder as working directory.
LOADER = ["loader", "--workers", "3"]
LAUNCHER = ["torchrun", "--nproc-per-node", "4"]
RANK = ["train", "--epochs", "10"]
QUEUE_WORKER = ["worker", "--queue", "jobs"]

stopping = False


def request_stop(signum, frame):
    global stopping
    stopping = True


def install_stop_handlers():
    """Ctrl+C, SIGTERM and a closed terminal all end the loops instead of raising."""
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, request_stop)


def owner_alive():
    """Whether the starting script still runs, so nothing outlives it if it is killed."""
    owner = os.environ.get(OWNER_VARIABLE)
    return owner is None or alive(int(owner))


def alive(pid):
    """Whether `pid` runs; a zombie nobody has reaped yet counts as ended."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
    except (FileNotFoundError, ProcessLookupError, IndexError):
        return False
    return state not in ("Z", "X")


def keep_going():
    return not stopping and owner_alive()


def idle(seconds=TICK):
    end = time.monotonic() + seconds
    while not stopping and time.monotonic() < end:
        time.sleep(min(TICK, end - time.monotonic()))


# Small named steps, so that a stack dump shows something to read.

def checksum(values):
    total = 0
    for value in values:
        total = (total * 31 + value) % 1000003
    return total


def decode_record(seed):
    return checksum(range(seed, seed + 2000))


def load_batch(worker, step):
    return [decode_record(worker * 1000 + step + i) for i in range(4)]


def matmul(a, b):
    return [[sum(x * y for x, y in zip(row, col)) for col in zip(*b)] for row in a]


def forward(step):
    weights = [[(i + j + step) % 7 for j in range(12)] for i in range(12)]
    return matmul(weights, weights)


def all_reduce():
    idle()  # ranks spend most of their time waiting for each other


def train_step(step):
    forward(step)
    all_reduce()


def handle_job(job):
    return checksum(range(job, job + 5000))


def wait_for_job():
    idle()


# Roles.

def loader_worker(worker):
    step = 0
    while keep_going():
        load_batch(worker, step)
        idle()
        step += 1


def run_loader():
    context = multiprocessing.get_context("fork")
    workers = [context.Process(target=loader_worker, args=(w,)) for w in range(3)]
    for w in workers:
        w.start()
    while keep_going():
        idle()
    for w in workers:
        w.terminate()  # SIGTERM: the worker finishes its loop and exits
    for w in workers:
        w.join()


def run_launcher():
    world = 4
    ranks = []
    for rank in range(world):
        env = dict(os.environ, RANK=str(rank), LOCAL_RANK=str(rank), WORLD_SIZE=str(world),
                   MASTER_ADDR="127.0.0.1", MASTER_PORT="29500")
        ranks.append(subprocess.Popen([sys.executable, SCRIPT, *RANK], env=env))
    while keep_going() and all(r.poll() is None for r in ranks):
        idle()
    for r in ranks:
        if r.poll() is None:
            r.terminate()
    for r in ranks:
        r.wait()


def run_rank():
    step = 0
    while keep_going():
        train_step(step)
        step += 1


def run_queue_worker():
    job = 0
    while keep_going():
        handle_job(job)
        wait_for_job()
        job += 1


ROLES = {LOADER[0]: run_loader, LAUNCHER[0]: run_launcher, RANK[0]: run_rank,
         QUEUE_WORKER[0]: run_queue_worker}


# The starting script.

def start_detached(args):
    """Starts this script with `args` as a grandchild that the system re-parents at once, so
    the process trees of the roles do not join this one; returns its pid."""
    read_end, write_end = os.pipe()
    child = os.fork()
    if child == 0:
        try:
            os.close(read_end)
            grandchild = os.fork()
            if grandchild == 0:
                os.chdir(HERE)
                os.execv(sys.executable, [sys.executable, SCRIPT, *args])
            os.write(write_end, str(grandchild).encode())
        finally:
            os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        pid = int(pipe.read())
    os.waitpid(child, 0)
    return pid


def say(text):
    try:
        print("demo: " + text, flush=True)
    except OSError:
        pass  # the terminal may be gone already


def stop_all(pids, grace=5.0):
    for pid in pids:
        try:
            os.kill(pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
    deadline = time.monotonic() + grace
    while any(alive(p) for p in pids) and time.monotonic() < deadline:
        time.sleep(0.05)
    for pid in pids:
        if alive(pid):
            os.kill(pid, signal.SIGKILL)


def run_demo():
    os.environ[OWNER_VARIABLE] = str(os.getpid())
    pids = [start_detached(args) for args in (LOADER, LAUNCHER, QUEUE_WORKER, QUEUE_WORKER)]
    say("started loader %d, torchrun %d, workers %d and %d, with their children"
        % tuple(pids))
    say("run stackpeek in another terminal; Ctrl+C here stops everything")
    while not stopping:
        time.sleep(TICK)
    say("stopping")
    stop_all(pids)
    say("stopped")


def main():
    install_stop_handlers()
    if len(sys.argv) > 1 and sys.argv[1] in ROLES:
        ROLES[sys.argv[1]]()
    elif len(sys.argv) > 1:
        sys.exit("usage: python3 demo.py")
    else:
        run_demo()


if __name__ == "__main__":
    main()
