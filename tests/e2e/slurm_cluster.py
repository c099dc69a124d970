"""A two-node Slurm cluster on this machine (munged, slurmctld and two slurmd, configured in a
temporary folder through SLURM_CONF) for the tests that run real jobs."""

import os
import shutil
import signal
import socket
import subprocess
import tempfile

from harness import pids_with, wait_until

TOOLS = {name: shutil.which(name, path="/usr/sbin:/usr/bin")
         for name in ("munged", "slurmctld", "slurmd", "sinfo", "sbatch", "srun", "squeue",
                      "scancel")}
MISSING = [name for name, path in TOOLS.items() if not path]
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
