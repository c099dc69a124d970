"""Ranks of srun steps on the suite's two-node Slurm cluster, without torch's variables: the
step is one group named by task numbers, a dump names its stuck rank, and torch's ranks win in
a step whose tasks set them."""

import json
import os
import signal
import subprocess
import unittest

import harness
from harness import Workload, wait_until
from slurm_cluster import MISSING, Cluster

# Task 2 of the plain step is stuck; the torch step's RANK runs opposite to its task numbers.
RANK_SCRIPT = harness.RANK_FUNCTIONS + """
rank = int(os.environ.get("RANK") or os.environ["SLURM_PROCID"])
with open(os.path.join(os.path.dirname(__file__), "ready-%s-%d" % (sys.argv[-1], rank)), "w"):
    pass
(stuck if sys.argv[-1] == "plain" and rank == 2 else wait_for_peers)()
"""

JOB_SCRIPT = """#!/bin/sh
srun --overlap -n 4 {python} {rank} {marker} plain &
srun --overlap -n 2 sh -c 'export RANK=$((1 - SLURM_PROCID)) WORLD_SIZE=2 MASTER_ADDR=n1 \\
  MASTER_PORT=29514; exec {python} {rank} {marker} torch' &
wait
"""


def run(*args):
    """stackpeek ARGS without a terminal, with the real py-spy."""
    return subprocess.run([harness.BINARY, *args], capture_output=True, text=True, timeout=120,
                          env=dict(os.environ, **harness.real_env()), start_new_session=True,
                          stdin=subprocess.DEVNULL)


def slurm_variable(pid, name):
    with open("/proc/%d/environ" % pid, "rb") as f:
        env = dict(e.split(b"=", 1) for e in f.read().split(b"\0") if b"=" in e)
    return env[name.encode()].decode()


@unittest.skipUnless(os.geteuid() == 0, "needs root to run munged and slurmd")
@unittest.skipIf(MISSING, "missing " + " ".join(MISSING) + " (munge, slurmctld, slurmd, "
                 "slurm-client)")
class SrunRanksTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.cluster = Cluster()
        cls.work = Workload()
        try:
            cls.cluster.start()
            rank = cls.work.script("rank.py", RANK_SCRIPT)
            job = cls.work.script("job.sh", JOB_SCRIPT.format(python=harness.PYTHON, rank=rank,
                                                                marker=cls.work.marker))
            submitted = cls.cluster.run("sbatch", "--parsable", "-N2", "--ntasks-per-node=2",
                                        "-o", os.path.join(cls.work.dir, "job.out"), job)
            assert submitted.returncode == 0, submitted.stderr
            cls.job_id = submitted.stdout.strip()
            wait_until(lambda: len([f for f in os.listdir(cls.work.dir)
                                    if f.startswith("ready-")]) == 6, "six ranks", timeout=40)
            groups = json.loads(run("list", "--json").stdout)["groups"]
            cls.groups = [g for g in groups
                          if any(cls.work.marker in m["command"] for m in g["members"])]
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if hasattr(cls, "job_id"):
            cls.cluster.cancel(cls.job_id)
        cls.cluster.stop()
        cls.work.close()

    def group_of(self, step):
        return next(g for g in self.groups if g["members"][0]["command"][-1] == step)

    def test_step_is_one_group_and_torch_ranks_win(self):
        plain = self.group_of("plain")
        step = slurm_variable(plain["members"][0]["pid"], "SLURM_STEP_ID")
        self.assertEqual((plain["kind"], plain["key"]), ("srun", "srun:%s.%s" % (self.job_id, step)),
                         json.dumps(self.groups, indent=1))
        self.assertEqual([(m["launcher"]["rank"], m["launcher"]["world_size"])
                          for m in plain["members"]], [(r, 4) for r in range(4)])
        torch = self.group_of("torch")
        self.assertEqual(torch["kind"], "torch/ddp")
        for member in torch["members"]:
            self.assertIsNone(member["launcher"])
            self.assertEqual(member["torch"]["rank"],
                             1 - int(slurm_variable(member["pid"], "SLURM_PROCID")))

    @unittest.skipUnless(os.access(harness.REAL_PY_SPY, os.X_OK),
                         "no real py-spy at " + harness.REAL_PY_SPY)
    def test_group_dump_names_the_stuck_task(self):
        plain = self.group_of("plain")
        stuck = plain["members"][2]["pid"]
        result = run("dump", "--group", plain["key"])
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.splitlines()
        self.assertEqual(lines[0], "Stacks compared: 4 processes, 2 distinct", result.stdout)
        self.assertEqual(lines[1], "1 process: rank 2 (pid %d)" % stuck)
        self.assertTrue(lines[2].strip().startswith("stuck ("), lines)

        # A task that ends leaves the step running: the group's dump names it missing.
        gone = plain["members"][3]["pid"]
        os.kill(gone, signal.SIGKILL)
        wait_until(lambda: not os.path.exists("/proc/%d" % gone), "task 3 to end")
        result = run("dump", "--group", plain["key"])
        self.assertEqual(result.stdout.splitlines()[0],
                         "Stacks compared: 3 processes, 2 distinct, missing ranks 3", result.stdout)


if __name__ == "__main__":
    harness.main()
