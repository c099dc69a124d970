"""Drives the real stackpeek binary in a pseudo-terminal against real Python processes."""

import json
import os
import pwd
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest
import xml.etree.ElementTree as ElementTree
import zlib

import pexpect
import pyte

HERE = os.path.dirname(os.path.abspath(__file__))
FAKE_BIN = os.path.normpath(os.path.join(HERE, "..", "bin"))
PYTHON = "/usr/bin/python3"
REPO_ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
# The real py-spy: where the environment says, else where CI keeps it beside the repository.
REAL_PY_SPY = os.environ.get("STACKPEEK_REAL_PY_SPY") or os.path.normpath(
    os.path.join(REPO_ROOT, "..", "shared", "py-spy", "bin", "py-spy"))
SKIPPED = 77  # the exit status ctest reports as a skipped test

KEY_ENTER = "\r"
KEY_ESC = "\x1b"
KEY_DOWN = "\x1b[B"
KEY_UP = "\x1b[A"
KEY_PGDN = "\x1b[6~"
KEY_PGUP = "\x1b[5~"

BINARY = None  # set by main() from the command line


class FullScreen(pyte.Screen):
    """pyte's screen plus the scroll and repeat sequences that ncurses sends to xterm-256color
    (CSI S, CSI T, CSI b). pyte 0.8 ignores them, which leaves stale rows behind whenever the
    process list shifts."""

    last_char = " "

    def draw(self, data):
        if data:
            self.last_char = data[-1]
        super().draw(data)

    def scroll_up(self, count=None, *_args, **_kwargs):
        self._at_top_margin(self.delete_lines, count)

    def scroll_down(self, count=None, *_args, **_kwargs):
        self._at_top_margin(self.insert_lines, count)

    def repeat_last(self, count=None, *_args, **_kwargs):
        self.draw(self.last_char * (count or 1))

    def _at_top_margin(self, action, count):
        top = self.margins.top if self.margins else 0
        x, y = self.cursor.x, self.cursor.y
        self.cursor.y = top
        action(count)
        self.cursor.x, self.cursor.y = x, y


class FullStream(pyte.ByteStream):
    csi = dict(pyte.ByteStream.csi, S="scroll_up", T="scroll_down", b="repeat_last")


class Term:
    """stackpeek (or a shell) in a pseudo-terminal of a fixed size, read through pyte."""

    def __init__(self, command, args=(), rows=40, cols=160, env=None, cwd=None):
        self.screen = FullScreen(cols, rows)
        self.stream = FullStream(self.screen)
        self.raw = b""
        full_env = dict(os.environ)
        full_env.update({"TERM": "xterm-256color", "LANG": "C.UTF-8",
                         "PATH": FAKE_BIN + ":/usr/bin:" + os.environ.get("PATH", "")})
        full_env.pop("NO_COLOR", None)
        full_env.update(env or {})
        self.child = pexpect.spawn(command, list(args), env=full_env, cwd=cwd,
                                   dimensions=(rows, cols))

    def pump(self, duration=0.05):
        """Reads what the program wrote during `duration` seconds."""
        end = time.monotonic() + duration
        while True:
            try:
                data = self.child.read_nonblocking(65536, timeout=max(0.0, end - time.monotonic()))
            except (pexpect.TIMEOUT, pexpect.EOF):
                data = b""
            if data:
                self.raw += data
                self.stream.feed(data)
            if time.monotonic() >= end:
                return

    def text(self):
        return "\n".join(self.screen.display)

    def resize(self, rows, cols):
        """Resizes the terminal the program runs in, and our screen with it."""
        self.screen.resize(rows, cols)
        self.child.setwinsize(rows, cols)

    def line(self, y):
        return self.screen.display[y]

    def settle(self, quiet=0.05, limit=1.0):
        """Reads until the program has written nothing for `quiet` seconds (`limit` at most),
        so that the screen holds whole frames rather than one half drawn over the last."""
        end = time.monotonic() + limit
        while time.monotonic() < end:
            before = len(self.raw)
            self.pump(quiet)
            if len(self.raw) == before:
                return

    def wait_for(self, what, timeout=10.0):
        """Waits until `what` (text, or a predicate over the screen text) holds on a settled
        screen."""
        check = (lambda t: what in t) if isinstance(what, str) else what
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self.pump(0.05)
            if check(self.text()):
                self.settle()
                if check(self.text()):
                    return self.text()
        raise AssertionError("timed out waiting for %r; screen:\n%s" % (what, self.text()))

    def send(self, keys, settle=0.15):
        self.child.send(keys)
        self.pump(settle)

    def selected_line(self):
        """The process-list row drawn with the selection marker."""
        found = self.selected_row()
        return found[1] if found else None

    def selected_row(self):
        """Where the selection marker is drawn, and its row; None when it is not drawn."""
        for y, row in enumerate(self.screen.display):
            if row.startswith("│> "):
                return y, row
        return None

    def select(self, *needles, limit=400):
        """Moves the selection down until its row contains every one of `needles`. Each `j`
        waits until the screen shows it, so that a slow program never gets a row skipped."""
        unmoved = 0
        for _ in range(limit):
            row = self.selected_line()
            if row is not None and all(n in row for n in needles):
                return row
            before = self.selected_row()
            self.send("j", settle=0)
            deadline = time.monotonic() + 2
            while self.selected_row() == before and time.monotonic() < deadline:
                self.pump(0.02)
            self.settle()
            unmoved = unmoved + 1 if self.selected_row() == before else 0
            if unmoved == 3:  # the end of the list
                break
        raise AssertionError("no row with %r; screen:\n%s" % (needles, self.text()))

    def filter(self, text):
        """Shows only the groups that `text` matches (in a label, pid or command line), so a
        test sees its own processes whatever else runs on the machine."""
        self.wait_for("Python Processes")
        self.send("/", settle=0.05)
        self.send(text + KEY_ENTER)
        # A narrow list title keeps the filter's end.
        self.wait_for(text[-12:] + ")")

    def top_of_list(self):
        for _ in range(400):
            self.send("k", settle=0.01)
        self.pump(0.2)

    def output_lines(self, step=5, pages=40):
        """Every line of the output pane, read page by page (Page Down moves `step` lines and
        stops once the last line is on screen)."""
        for _ in range(pages):
            self.send(KEY_PGUP, settle=0.02)
        self.pump(0.2)
        lines = []
        page = self._output_rows()
        for _ in range(pages):
            self.send(KEY_PGDN)
            following = self._output_rows()
            if following == page:
                break
            lines += page[:_shift(page, following, step)]
            page = following
        lines += page
        while lines and not lines[-1].strip():
            lines.pop()
        return lines

    def _output_rows(self):
        rows = self.screen.display
        top = next(i for i, row in enumerate(rows) if row.startswith("┌py-spy Output"))
        bottom = next(i for i in range(top + 1, len(rows)) if rows[i].startswith("└"))
        return [row[1:].rstrip().rstrip("│").rstrip() for row in rows[top + 1:bottom]]

    def quit(self, timeout=10):
        self.child.send("q")
        self.child.expect(pexpect.EOF, timeout=timeout)
        self.raw += self.child.before or b""
        self.child.close()
        return self.child.exitstatus

    def close(self):
        if self.child.isalive():
            self.child.terminate(force=True)

    def quit_cleanly(self, timeout=10):
        """Quits with `q` (a second `q` if a run holds the first) so no run is cut short."""
        if not self.child.isalive():
            return
        self.child.send("q")
        try:
            self.child.expect(pexpect.EOF, timeout=timeout)
        except pexpect.TIMEOUT:
            self.child.send("q")
            self.child.expect(pexpect.EOF, timeout=timeout)


class Started:
    """A process a workload started: its pid and process group."""

    def __init__(self, pid, pgid=None):
        self.pid = pid
        self.pgid = pgid


class Workload:
    """Python processes started for one test, all stopped at the end."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="stackpeek-e2e-")
        self.marker = os.path.basename(self.dir)  # in every command line the workload starts
        self.procs = []

    def script(self, name, body):
        path = os.path.join(self.dir, name)
        with open(path, "w") as f:
            f.write(textwrap.dedent(body))
        return path

    def start(self, args, env=None, cwd=None):
        """Starts `args` through a shell that exits at once, so the workload is not a child
        of this (Python) test process and does not join its process tree."""
        full_env = dict(os.environ)
        full_env.update(env or {})
        shell = subprocess.run(["/bin/sh", "-c", '"$@" </dev/null >/dev/null 2>&1 & echo $!',
                                "sh", *args], env=full_env, cwd=cwd or self.dir,
                               stdin=subprocess.DEVNULL, capture_output=True, check=True,
                               start_new_session=True)
        started = Started(int(shell.stdout.split()[0]))
        started.pgid = self._pgid_of(started.pid)
        self.procs.append(started)
        return started

    @staticmethod
    def _pgid_of(pid):
        try:
            return os.getpgid(pid)
        except ProcessLookupError:
            return None

    def sleeper(self, *args, env=None):
        """A Python process that sleeps, with extra arguments for recognition."""
        script = self.script("sleeper.py", "import time\nwhile True: time.sleep(0.2)\n")
        started = self.start([PYTHON, script, *args], env=env)
        wait_for_exec([started.pid], "sleeper.py")
        return started

    def process_tree(self, marker, children=3):
        """A multiprocessing parent with `children` children; returns (parent, child pids)."""
        script = self.script("tree_%s.py" % marker, """
            import multiprocessing, os, sys, time
            def work():
                while True:
                    time.sleep(0.2)
            if __name__ == "__main__":
                multiprocessing.set_start_method("fork")
                kids = [multiprocessing.Process(target=work) for _ in range(%d)]
                for k in kids:
                    k.start()
                with open(sys.argv[2], "w") as f:
                    f.write(" ".join(str(k.pid) for k in kids))
                while True:
                    time.sleep(0.2)
            """ % children)
        pids_file = os.path.join(self.dir, "pids_%s" % marker)
        parent = self.start([PYTHON, script, marker, pids_file])
        kids = wait_for_file_words(pids_file)
        return parent.pid, [int(p) for p in kids]

    def torch_job(self, marker, world=4, port=None):
        """A launcher whose command line names torchrun, with `world` rank processes."""
        port = port or str(free_port())  # a job of another run never joins this one
        rank = self.script("rank_worker.py", "import time\nwhile True: time.sleep(0.2)\n")
        launcher = self.script("torchrun_%s.py" % marker, """
            import os, subprocess, sys, time
            procs = []
            for r in range(%d):
                env = dict(os.environ, RANK=str(r), LOCAL_RANK=str(r), WORLD_SIZE="%d",
                           MASTER_ADDR="127.0.0.1", MASTER_PORT="%s")
                procs.append(subprocess.Popen([sys.executable, "%s", "--epochs", "3", sys.argv[1]],
                                              env=env))
            with open(sys.argv[2], "w") as f:
                f.write(" ".join(str(p.pid) for p in procs))
            while True:
                time.sleep(0.2)
            """ % (world, world, port, rank))
        pids_file = os.path.join(self.dir, "pids_%s" % marker)
        parent = self.start([PYTHON, launcher, marker, pids_file])
        kids = [int(p) for p in wait_for_file_words(pids_file)]
        wait_for_exec(kids, "rank_worker.py")
        return parent.pid, kids

    def close(self):
        for proc in self.procs:
            if proc.pgid is None:
                continue
            try:
                os.killpg(proc.pgid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        subprocess.run(["rm", "-rf", self.dir])


class SudoUser:
    """An unprivileged user with a password and a sudoers entry of its own (a drop-in in
    /etc/sudoers.d; the default configuration stays as it is), removed again by close(),
    also after an earlier run that was killed. Needs root."""

    def __init__(self, name, password, defaults=None):
        """`defaults`: sudoers options for this user alone, such as "timestamp_timeout=0"."""
        self.name, self.password = name, password
        self.sudoers = "/etc/sudoers.d/" + name
        self.close()
        subprocess.run(["useradd", "--no-create-home", "--shell", "/bin/sh", name], check=True)
        subprocess.run(["chpasswd"], input=("%s:%s\n" % (name, password)).encode(), check=True)
        with open(self.sudoers, "w") as f:
            f.write("%s ALL=(ALL:ALL) ALL\n" % name)
            if defaults:
                f.write("Defaults:%s %s\n" % (name, defaults))
        os.chmod(self.sudoers, 0o440)
        subprocess.run(["visudo", "-c", "-q"], check=True)
        entry = pwd.getpwnam(name)
        self.uid, self.gid = entry.pw_uid, entry.pw_gid
        self.prompt = "[sudo] password for %s:" % name

    def command(self, *args):
        """`args` run as the user."""
        return ["/usr/bin/setpriv", "--reuid=%d" % self.uid, "--regid=%d" % self.gid,
                "--init-groups", "--", *args]

    def env(self, path_dir, home):
        return {"PATH": path_dir + ":/usr/bin:/bin", "HOME": home, "USER": self.name,
                "LOGNAME": self.name}

    def close(self):
        if os.path.exists(self.sudoers):
            os.unlink(self.sudoers)
        subprocess.run(["userdel", self.name], stderr=subprocess.DEVNULL)
        subprocess.run(["rm", "-rf", "/run/sudo/ts/" + self.name])


def relays_left():
    """The pids of stackpeek's live top relays (started through sudo) still running."""
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                if b"__top-relay\0" in f.read():
                    found.append(int(entry))
        except OSError:
            pass
    return found


def live_spies(mode, pids):
    """The pids of running py-spy processes (the stand-in or the real one) of `mode` aimed at
    any of `pids`; an empty `mode` matches every mode."""
    wanted = [b"--pid\0%d\0" % pid for pid in pids]
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                cmdline = f.read()
        except OSError:
            continue
        if b"py-spy\0" + mode.encode() in cmdline and any(w in cmdline for w in wanted):
            found.append(int(entry))
    return found


def await_records(test, pids, pump=time.sleep, log=None, timeout=20):
    """Waits until a py-spy record aimed at each of `pids` runs and returns their pids. With
    the stand-in's `log` (STACKPEEK_FAKE_LOG), it waits until each has also logged that it
    samples: only from then on does SIGINT end it with its flame graph written."""
    deadline = time.monotonic() + timeout
    while True:
        spies = live_spies("record", pids)
        ready = len(sampling_pids(log) & set(pids)) if log else len(spies)
        if ready >= len(pids):
            return spies
        test.assertLess(time.monotonic(), deadline, "py-spy record did not start: %s" % spies)
        pump(0.05)


def sampling_pids(log):
    """The target pids of the stand-in records that `log` shows sampling."""
    try:
        with open(log) as f:
            return {int(line.split()[2]) for line in f if line.startswith("SAMPLING record ")}
    except FileNotFoundError:
        return set()


def assert_no_spies(test, pids, grace=3.0):
    """Fails `test` when a py-spy aimed at one of `pids` still runs `grace` seconds on, and
    kills those it finds so that no later test inherits them."""
    deadline = time.monotonic() + grace
    while live_spies("", pids) and time.monotonic() < deadline:
        time.sleep(0.05)
    left = live_spies("", pids)
    for pid in left:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    test.assertEqual(left, [], "py-spy left running")


def wait_for_file_words(path, timeout=20.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with open(path) as f:
                words = f.read().split()
            if words:
                time.sleep(0.3)  # let the children finish exec and settle
                return words
        except FileNotFoundError:
            pass
        time.sleep(0.05)
    raise AssertionError("workload did not start: " + path)


def wait_for_exec(pids, needle, timeout=20.0):
    """Waits until every pid runs a command line holding `needle` (its exec is done)."""
    deadline = time.monotonic() + timeout
    for pid in pids:
        while True:
            try:
                with open("/proc/%d/cmdline" % pid, "rb") as f:
                    if needle.encode() in f.read():
                        break
            except FileNotFoundError:
                pass
            if time.monotonic() > deadline:
                raise AssertionError("process %d did not start %s" % (pid, needle))
            time.sleep(0.02)


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


def real_py_spy_missing():
    """Why the real py-spy cannot run here, or None when it can."""
    if not os.access(REAL_PY_SPY, os.X_OK):
        return "no real py-spy at %s (set STACKPEEK_REAL_PY_SPY)" % REAL_PY_SPY
    try:
        result = subprocess.run([REAL_PY_SPY, "--version"], capture_output=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as error:
        return "%s does not run: %s" % (REAL_PY_SPY, error)
    if result.returncode != 0:  # for example without libunwind8
        lines = result.stderr.decode(errors="replace").splitlines() or ["exit status %d"
                                                                        % result.returncode]
        return "%s does not run: %s" % (REAL_PY_SPY, lines[0])
    return None


def real_env(**extra):
    """An environment whose PATH finds the real py-spy first, and no stand-in."""
    env = {"PATH": os.path.dirname(REAL_PY_SPY) + ":/usr/bin:/bin"}
    env.update(extra)
    return env


def real_dump(pid, *args):
    """`py-spy dump --pid PID` run directly: (exit status, standard output)."""
    result = subprocess.run([REAL_PY_SPY, "dump", "--pid", str(pid), *args], capture_output=True,
                            text=True, timeout=60, stdin=subprocess.DEVNULL)
    return result.returncode, result.stdout


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


TORCH_TRAIN = """
    import datetime, os, sys, time
    import torch
    import torch.distributed as dist

    def load_batch():
        while True:  # an input that never comes
            time.sleep(0.5)

    def sync_gradients(grad):
        dist.all_reduce(grad)

    def main():
        dist.init_process_group("gloo", timeout=datetime.timedelta(minutes=15))
        rank = dist.get_rank()
        with open(os.path.join(sys.argv[2], "rank-%d" % rank), "w") as f:
            f.write(str(os.getpid()))
        if rank == 3:
            load_batch()
        sync_gradients(torch.ones(4))

    main()
    """


# The start of a test job's rank script: the functions a rank waits in, named so that a dump
# tells the stuck rank from those waiting for it.
RANK_FUNCTIONS = """
import os, sys, time
def stuck():
    while True:
        time.sleep(0.2)
def wait_for_peers():
    while True:
        time.sleep(0.2)
"""


class TorchJob:
    """A real torch.distributed.run job of four CPU ranks (gloo): rank 3 sleeps in
    `load_batch` while ranks 0-2 wait for it in `all_reduce`. Its command lines hold
    `marker`. Starting torch takes long: start one job per test file."""

    WORLD = 4
    SLOW_RANK = 3
    SLOW_FUNCTION = "load_batch"

    def __init__(self, marker, timeout=180.0):
        self.work = Workload()
        self.marker = marker
        script = self.work.script("train_%s.py" % marker, TORCH_TRAIN)
        ready = os.path.join(self.work.dir, "ready")
        os.mkdir(ready)
        self.port = free_port()
        self.launcher = self.work.start(
            [PYTHON, "-m", "torch.distributed.run", "--nproc_per_node", str(self.WORLD),
             "--redirects", "1", "--tee", "1", "--log_dir", os.path.join(self.work.dir, "logs"),
             "--master_port", str(self.port), script, marker, ready])
        deadline = time.monotonic() + timeout
        try:
            self.ranks = [int(self._read_when_there(os.path.join(ready, "rank-%d" % rank),
                                                    deadline)) for rank in range(self.WORLD)]
            for rank, pid in enumerate(self.ranks):
                self._wait_in(pid, self.function_of(rank), deadline)
        except BaseException:
            self.close()
            raise

    def function_of(self, rank):
        """The innermost function `rank` waits in."""
        return self.SLOW_FUNCTION if rank == self.SLOW_RANK else "all_reduce"

    def _read_when_there(self, path, deadline):
        while time.monotonic() < deadline:
            try:
                with open(path) as f:
                    text = f.read()
                if text:
                    return text
            except FileNotFoundError:
                pass
            if self.launcher.pid and not os.path.exists("/proc/%d" % self.launcher.pid):
                raise AssertionError("the torch launcher ended; logs in " + self.work.dir)
            time.sleep(0.2)
        raise AssertionError("the torch job did not start in time: " + path)

    @staticmethod
    def _wait_in(pid, function, deadline):
        """Waits until py-spy sees `pid`'s innermost frame in `function`."""
        while time.monotonic() < deadline:
            status, out = real_dump(pid)
            frames = [line.strip() for line in out.splitlines() if line.startswith("    ")]
            if status == 0 and frames and frames[0].startswith(function + " ("):
                return
            time.sleep(0.5)
        raise AssertionError("rank %d never reached %s" % (pid, function))

    def group(self):
        """The job's group as `stackpeek list --json` gives it (its members are the ranks)."""
        listed = subprocess.run([BINARY, "list", "--json"], capture_output=True, text=True,
                                timeout=60, check=True, stdin=subprocess.DEVNULL)
        return next(g for g in json.loads(listed.stdout)["groups"]
                    if {m["pid"] for m in g["members"]} == set(self.ranks))

    def close(self):
        self.work.close()


SVG = "{http://www.w3.org/2000/svg}"
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                  "--no-first-run", "--disable-background-networking",
                  "--disable-component-update", "--disable-sync"]


def flame_boxes(test, path):
    """The boxes of a flame graph SVG written by stackpeek, parsed as XML: dicts of x, y, w,
    fill, title and label. Asserts that every box stands on one box of the row below it that
    is at least as wide (the root row at the bottom), and returns the boxes, root first."""
    root = ElementTree.parse(path).getroot()
    boxes = []
    for g in root.iter(SVG + "g"):
        rect, text = g.find(SVG + "rect"), g.find(SVG + "text")
        boxes.append({"x": float(rect.get("x")), "y": float(rect.get("y")),
                      "w": float(rect.get("width")), "fill": rect.get("fill"),
                      "title": g.find(SVG + "title").text,
                      "label": text.text if text is not None else ""})
    bottom = max(b["y"] for b in boxes)
    roots = [b for b in boxes if b["y"] == bottom]
    test.assertEqual(len(roots), 1)
    for box in boxes:
        if box["y"] == bottom:
            continue
        below = [b for b in boxes if b["y"] > box["y"] and abs(b["y"] - box["y"]) < 20]
        test.assertTrue(any(b["x"] - 0.05 <= box["x"] and box["x"] + box["w"] <= b["x"] + b["w"] + 0.05
                            for b in below), box["title"])
    return roots + [b for b in boxes if b["y"] != bottom]


def chromium(args):
    """Headless Chromium with a profile of its own; its standard output. None (after printing
    one line) where Debian's chromium is not installed."""
    if not shutil.which("chromium"):
        print("chromium is not installed: the picture is not rendered", flush=True)
        return None
    with tempfile.TemporaryDirectory(prefix="stackpeek-chromium-") as profile:
        return subprocess.run(["chromium", *CHROMIUM_FLAGS, "--user-data-dir=" + profile, *args],
                              capture_output=True, text=True, timeout=120,
                              stdin=subprocess.DEVNULL, start_new_session=True).stdout


def png_is_blank(path):
    """True when the PNG's pixel data holds fewer than 8 distinct byte values."""
    with open(path, "rb") as f:
        data = f.read()
    pos, idat = 8, b""
    while pos < len(data):
        length = int.from_bytes(data[pos:pos + 4], "big")
        if data[pos + 4:pos + 8] == b"IDAT":
            idat += data[pos + 8:pos + 8 + length]
        pos += 12 + length
    return len(set(zlib.decompress(idat))) < 8


def main(real_py_spy=False):
    """Runs the file's tests on the stackpeek named on the command line. A file that needs
    the real py-spy prints one line and exits with SKIPPED when it cannot run here."""
    global BINARY
    BINARY = os.path.abspath(sys.argv[1])
    if real_py_spy:
        why = real_py_spy_missing()
        if why:
            print("%s skipped: %s" % (os.path.basename(sys.argv[0]), why), flush=True)
            sys.exit(SKIPPED)
    unittest.main(argv=[sys.argv[0], "-v"])


def _shift(page, following, step):
    """How many lines Page Down moved the pane from `page` to `following`."""
    for shift in [step] + list(range(1, len(page))):
        if page[shift:] == following[:len(page) - shift]:
            return shift
    return len(page)
