"""A real two-node Slurm cluster on this machine (munged, slurmctld, two slurmd, all in a
temporary folder): the README's srun recipe dumps the Python ranks of one job on every node
and compares them."""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

import harness
from harness import Workload

README = os.path.join(harness.HERE, "..", "..", "README.md")
TOOLS = {name: shutil.which(name, path="/usr/sbin:/usr/bin")
         for name in ("munged", "slurmctld", "slurmd", "sinfo", "sbatch", "srun", "squeue",
                      "scancel")}
MISSING = [name for name, path in TOOLS.items() if not path]
MARKER = "slurmMark%d" % os.getpid()

RANK_SCRIPT = """
import os, time
def stuck():
    while True:
        time.sleep(0.2)
def wait_for_peers():
    while True:
        time.sleep(0.2)
(stuck if os.environ["RANK"] == "3" else wait_for_peers)()
"""

# Four ranks, two per node; RANK from Slurm's task id, as a torch launcher under srun sets it.
JOB_SCRIPT = """#!/bin/sh
export WORLD_SIZE=4 MASTER_ADDR=n1 MASTER_PORT=29512
srun sh -c 'export RANK=$SLURM_PROCID LOCAL_RANK=$SLURM_LOCALID; exec %s %s %s'
"""

CONF = """ClusterName=stackpeek
SlurmctldHost=localhost
SlurmctldPort={ctld_port}
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket={dir}/munge/socket
StateSaveLocation={dir}/state
SlurmdSpoolDir={dir}/spool-%n
SlurmctldPidFile={dir}/slurmctld.pid
SlurmdPidFile={dir}/slurmd-%n.pid
SlurmctldLogFile={dir}/slurmctld.log
SlurmdLogFile={dir}/slurmd-%n.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
SchedulerType=sched/builtin
MpiDefault=none
ReturnToService=2
SlurmdParameters=config_overrides
NodeName=n1 NodeHostname=localhost NodeAddr=127.0.0.1 Port={n1_port} CPUs=2 State=UNKNOWN
NodeName=n2 NodeHostname=localhost NodeAddr=127.0.0.1 Port={n2_port} CPUs=2 State=UNKNOWN
PartitionName=main Nodes=n1,n2 Default=YES MaxTime=INFINITE State=UP
"""


def free_ports(count):
    socks = [socket.socket() for _ in range(count)]
    for sock in socks:
        sock.bind(("127.0.0.1", 0))
    ports = [sock.getsockname()[1] for sock in socks]
    for sock in socks:
        sock.close()
    return ports


def readme_recipe():
    with open(README) as f:
        return next(line.strip() for line in f if line.startswith("srun --overlap --jobid $JOB -N"))


def pids_with(*needles, file="cmdline"):
    """The processes whose command line (or other /proc file) holds every needle."""
    found = []
    needles = [n if isinstance(n, bytes) else n.encode() for n in needles]
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/%s" % (entry, file), "rb") as f:
                text = f.read()
        except OSError:
            continue
        if all(n in text for n in needles):
            found.append(int(entry))
    return found


def comm(pid):
    try:
        with open("/proc/%d/comm" % pid) as f:
            return f.read().strip()
    except OSError:
        return ""


def wait_until(check, what, timeout=20.0):
    deadline = time.monotonic() + timeout
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.1)


class Cluster:
    """munged, slurmctld and slurmd n1 and n2, each in a process group of its own; stop()
    ends every one of them by its pid."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="stackpeek-slurm-")
        self.daemons = []
        ctld_port, n1_port, n2_port = free_ports(3)
        self.env = dict(os.environ, SLURM_CONF=os.path.join(self.dir, "slurm.conf"))
        os.makedirs(os.path.join(self.dir, "munge"))
        os.chmod(os.path.join(self.dir, "munge"), 0o755)
        with open(self.env["SLURM_CONF"], "w") as f:
            f.write(CONF.format(dir=self.dir, ctld_port=ctld_port, n1_port=n1_port,
                                n2_port=n2_port))

    def start(self):
        munge = os.path.join(self.dir, "munge")
        key = os.path.join(munge, "munge.key")
        with open(key, "wb") as f:
            f.write(os.urandom(1024))
        os.chmod(key, 0o600)
        self._spawn("munged", "-F", "-f", "--socket=" + os.path.join(munge, "socket"),
                    "--key-file=" + key, "--log-file=" + os.path.join(munge, "log"),
                    "--pid-file=" + os.path.join(munge, "pid"),
                    "--seed-file=" + os.path.join(munge, "seed"))
        wait_until(lambda: os.path.exists(os.path.join(munge, "socket")), "munged")
        self._spawn("slurmctld", "-D", "-i")
        for node in ("n1", "n2"):
            self._spawn("slurmd", "-D", "-N", node)
        wait_until(lambda: self.run("sinfo", "-N", "-h", "-o", "%N %t").stdout.split()
                   == ["n1", "idle", "n2", "idle"], "both nodes idle (see %s)" % self.dir)

    def _spawn(self, name, *args):
        log = open(os.path.join(self.dir, name + "-%d.out" % len(self.daemons)), "wb")
        with log:
            self.daemons.append(subprocess.Popen((TOOLS[name], *args), env=self.env, stdin=subprocess.DEVNULL,
                                                 stdout=log, stderr=log,
                                                 start_new_session=True))

    def run(self, name, *args):
        return subprocess.run((TOOLS[name], *args), env=self.env, capture_output=True, text=True,
                              timeout=30, stdin=subprocess.DEVNULL)

    def cancel(self, job_id):
        """Cancels the job and waits a little for its steps to end."""
        self.run("scancel", job_id)
        try:
            wait_until(lambda: not self.run("squeue", "-h", "-j", job_id).stdout.strip(),
                       "job %s to end" % job_id, timeout=5)
        except AssertionError:
            pass

    def stop(self):
        for daemon in reversed(self.daemons):
            try:
                os.killpg(daemon.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        for daemon in reversed(self.daemons):
            try:
                daemon.wait(timeout=5)
            except subprocess.TimeoutExpired:
                os.killpg(daemon.pid, signal.SIGKILL)
                daemon.wait()
        # slurmstepd and the tasks it started leave slurmd's session; they carry our SLURM_CONF.
        for pid in pids_with(b"SLURM_CONF=" + self.env["SLURM_CONF"].encode() + b"\0",
                             file="environ"):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        shutil.rmtree(self.dir, ignore_errors=True)


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
