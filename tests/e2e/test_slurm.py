"""A real two-node Slurm cluster on this machine (munged, slurmctld, two slurmd, all in a
temporary folder): the README's srun recipe dumps the Python ranks of one job on every node
and compares them."""

import os
import subprocess
import unittest

import harness
from harness import Workload, comm, pids_with, wait_until
from slurm_cluster import MISSING, Cluster

README = os.path.join(harness.HERE, "..", "..", "README.md")
MARKER = "slurmMark%d" % os.getpid()

RANK_SCRIPT = harness.RANK_FUNCTIONS + """
(stuck if os.environ["RANK"] == "3" else wait_for_peers)()
"""

# Four ranks, two per node; RANK from Slurm's task id, as a torch launcher under srun sets it.
JOB_SCRIPT = """#!/bin/sh
export WORLD_SIZE=4 MASTER_ADDR=n1 MASTER_PORT=29512
srun sh -c 'export RANK=$SLURM_PROCID LOCAL_RANK=$SLURM_LOCALID; exec %s %s %s'
"""


def readme_recipe():
    with open(README) as f:
        return next(line.strip() for line in f if line.startswith("srun --overlap --jobid $JOB -N"))


@unittest.skipUnless(os.geteuid() == 0, "needs root to run munged and slurmd")
@unittest.skipIf(MISSING, "missing " + " ".join(MISSING) + " (munge, slurmctld, slurmd, "
                 "slurm-client)")
@unittest.skipUnless(os.access(harness.REAL_PY_SPY, os.X_OK),
                     "no real py-spy at " + harness.REAL_PY_SPY)
class SlurmJobTest(unittest.TestCase):
    def setUp(self):
        self.cluster = Cluster()
        self.work = Workload()
        self.addCleanup(self.work.close)
        self.addCleanup(self.cluster.stop)
        self.cluster.start()

    def submit(self):
        rank = self.work.script("rank.py", RANK_SCRIPT)
        job = self.work.script("job.sh", JOB_SCRIPT % (harness.PYTHON, rank, MARKER))
        submitted = self.cluster.run("sbatch", "--parsable", "-N2", "--ntasks-per-node=2",
                                     "-o", os.path.join(self.work.dir, "job.out"), job)
        self.assertEqual(submitted.returncode, 0, submitted.stderr)
        job_id = submitted.stdout.strip()
        self.addCleanup(self.cluster.cancel, job_id)
        names = lambda: [comm(pid) for pid in pids_with("rank.py", MARKER)]
        wait_until(lambda: names().count("python3") == 4 and "srun" in names(),
                   "four ranks and their srun")
        return job_id

    def test_recipe_dumps_the_ranks_of_one_job_on_both_nodes(self):
        job_id = self.submit()
        launchers = [pid for pid in pids_with("rank.py", MARKER) if comm(pid) == "srun"]
        # A rank-like process that claims the job but runs on no node of it.
        outsider = self.work.sleeper(MARKER, env={"RANK": "3", "WORLD_SIZE": "4",
                                                  "SLURM_JOB_ID": job_id,
                                                  "SLURMD_NODENAME": "n9"})
        path = ":".join((os.path.dirname(harness.BINARY), os.path.dirname(harness.REAL_PY_SPY),
                         "/usr/bin", "/bin"))
        result = subprocess.run(["/bin/sh", "-c", readme_recipe()], capture_output=True,
                                text=True, timeout=40, stdin=subprocess.DEVNULL,
                                env=dict(self.cluster.env, JOB=job_id, PATH=path))
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        lines = result.stdout.splitlines()
        self.assertEqual(lines[0], "Stacks compared: 4 processes on 2 hosts, 2 distinct",
                         result.stdout + result.stderr)
        self.assertEqual(lines[1], "1 process: n2:3")
        self.assertIn("stuck (", lines[2])
        for pid in launchers:
            self.assertIn("skipped pid %d (srun): not a Python interpreter" % pid, result.stderr)
        self.assertNotIn(str(outsider.pid), result.stdout + result.stderr)


if __name__ == "__main__":
    harness.main()
