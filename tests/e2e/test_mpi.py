"""Ranks of real MPI launchers under the real py-spy: two Open MPI jobs (one with mpi4py, one
with a rank that forks two data-loader workers) and one MPICH job started through a wrapper
shell, side by side. Each job is
one group tagged by its launcher, and a dump names the stuck rank by its number."""

import json
import os
import shutil
import signal
import subprocess
import time
import unittest

import harness
from harness import Workload

MPIRUN = shutil.which("mpirun.openmpi")
MPIEXEC = shutil.which("mpiexec.mpich")

# Rank 2 is stuck; with "workers", rank 1 forks two workers that inherit its variables.
RANK_SCRIPT = harness.RANK_FUNCTIONS + """
rank = int(os.environ.get("OMPI_COMM_WORLD_RANK") or os.environ["PMI_RANK"])
if "mpi4py" in sys.argv:
    from mpi4py import MPI
    MPI.COMM_WORLD.Barrier()
def load_batches():
    while True:
        time.sleep(0.2)
if "workers" in sys.argv and rank == 1:
    for _ in range(2):
        if os.fork() == 0:
            load_batches()
with open(os.path.join(os.path.dirname(__file__), "ready-%s-%d" % (sys.argv[-1], rank)), "w"):
    pass
(stuck if rank == 2 else wait_for_peers)()
"""


def run(*args):
    """stackpeek ARGS without a terminal, with the real py-spy."""
    return subprocess.run([harness.BINARY, *args], capture_output=True, text=True, timeout=120,
                          env=dict(os.environ, **harness.real_env()), start_new_session=True,
                          stdin=subprocess.DEVNULL)


def marked_groups(marker, count, timeout=30.0):
    """The listed groups whose members' command lines hold `marker`, once there are `count`
    members of rank groups among them."""
    deadline = time.monotonic() + timeout
    while True:
        groups = [g for g in json.loads(run("list", "--json").stdout)["groups"]
                  if any(marker in m["command"] for m in g["members"])]
        ranked = [g for g in groups if g["kind"] in ("openmpi", "mpich")]
        if sum(len(g["members"]) for g in ranked) >= count or time.monotonic() > deadline:
            return groups
        time.sleep(0.3)


def ranks(group):
    return [m["launcher"]["rank"] for m in group["members"]]


@unittest.skipUnless(MPIRUN and MPIEXEC, "needs openmpi-bin, python3-mpi4py and mpich")
class MpiJobsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = Workload()
        marker = cls.work.marker
        script = cls.work.script("job.py", RANK_SCRIPT)
        mpirun = [MPIRUN, "--allow-run-as-root", "--oversubscribe", "-np", "4", harness.PYTHON,
                  script, marker]
        cls.work.start(mpirun + ["mpi4py"])
        cls.work.start(mpirun + ["workers"])
        # Through a shell that stays the ranks' parent, as a wrapper script does.
        cls.work.start([MPIEXEC, "-n", "4", "/bin/sh", "-c", '"$@"; true', "sh", harness.PYTHON,
                        script, marker, "mpich"])
        ready = lambda: len([f for f in os.listdir(cls.work.dir) if f.startswith("ready-")])
        deadline = time.monotonic() + 30
        while ready() < 12 and time.monotonic() < deadline:
            time.sleep(0.2)
        cls.groups = marked_groups(marker, 14)
        cls.by_job = {}
        for group in cls.groups:
            tag = group["members"][0]["command"][-1]
            if group["kind"] in ("openmpi", "mpich"):
                cls.by_job[tag] = group

    @classmethod
    def tearDownClass(cls):
        cls.work.close()
        # Open MPI puts its ranks in process groups of their own, and ranks without MPI calls
        # outlive a killed mpirun: end every process of this workload by its pid.
        for pid in harness.pids_with(cls.work.marker):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass

    def test_each_job_is_one_group_of_its_launcher(self):
        kinds = {tag: group["kind"] for tag, group in self.by_job.items()}
        self.assertEqual(kinds, {"mpi4py": "openmpi", "workers": "openmpi", "mpich": "mpich"},
                         json.dumps(self.groups, indent=1))
        self.assertEqual(ranks(self.by_job["mpi4py"]), [0, 1, 2, 3])
        self.assertEqual(ranks(self.by_job["mpich"]), [0, 1, 2, 3])
        # The workers of rank 1 are rank 1 again, beside it, not ranks of their own.
        self.assertEqual(ranks(self.by_job["workers"]), [0, 1, 1, 1, 2, 3])
        for group in self.by_job.values():
            self.assertEqual({m["launcher"]["world_size"] for m in group["members"]}, {4})

    def test_group_dump_names_the_stuck_rank(self):
        for tag in ("mpi4py", "mpich", "workers"):
            group = self.by_job[tag]
            stuck = next(m["pid"] for m in group["members"] if m["launcher"]["rank"] == 2)
            result = run("dump", "--group", group["key"])
            self.assertEqual(result.returncode, 0, result.stderr)
            lines = result.stdout.splitlines()
            processes = len(group["members"])
            self.assertEqual(lines[0], "Stacks compared: %d processes, %d distinct"
                             % (processes, 3 if tag == "workers" else 2), result.stdout)
            self.assertIn("1 process: rank 2 (pid %d)" % stuck, lines)
            self.assertEqual(lines[lines.index("1 process: rank 2 (pid %d)" % stuck) + 1].strip()
                             .split(" (")[0], "stuck")

    def test_one_rank_dumped_alone_misses_no_other(self):
        group = self.by_job["mpich"]
        dumped = run("dump", "--pid", str(group["members"][3]["pid"]), "--json")
        self.assertEqual(dumped.returncode, 0, dumped.stderr)
        line = json.loads(dumped.stdout)
        self.assertEqual((line["rank"], line["world_size"], line["group"]), (3, 4, group["key"]))
        pids = [a for m in group["members"][2:] for a in ("--pid", str(m["pid"]))]
        text = run("dump", *pids)
        self.assertEqual(text.stdout.splitlines()[0], "Stacks compared: 2 processes, 2 distinct")

    def test_screen_shows_the_launcher_beside_the_rank(self):
        term = harness.Term(harness.BINARY, rows=50, cols=160, env=harness.real_env())
        self.addCleanup(term.close)
        term.filter(self.work.marker)
        term.select("[mpich]")
        row = term.select("rank 2/4 local 2")
        self.assertIn("job.py", row)
        launching = self.by_job["mpich"]["key"].split("pid-")[1]
        term.wait_for("Launcher   MPICH job of pid " + launching)
        term.quit_cleanly()


if __name__ == "__main__":
    harness.main(real_py_spy=True)
