"""The real sudo (Debian's default sudoers: use_pty, tickets per terminal) and the real py-spy,
driven as an ordinary user with a password against root's processes."""

import fcntl
import glob
import os
import shutil
import signal
import struct
import subprocess
import tempfile
import termios
import time
import unittest

import harness
from harness import KEY_ENTER, KEY_ESC, Term, Workload

USER = "spk-sudo-e2e"
PASSWORD = "Stack-peek-e2e-7"
PROMPT = "[sudo] password for %s:" % USER
STOP_LIMIT = 1.0

BUSY = """
def burn_sudo_mark():
    n = 0
    while True:
        n += 1

burn_sudo_mark()
"""


def top_window(target):
    """(rows, columns) of the terminal the py-spy top of `target` has as standard input."""
    [pid] = set(harness.live_spies("top", [target])) - set(harness.relays_left())
    with open("/proc/%d/fd/0" % pid, "rb", buffering=0) as tty:
        rows, cols, _, _ = struct.unpack("HHHH", fcntl.ioctl(tty, termios.TIOCGWINSZ, b"\0" * 8))
    return rows, cols


class RealSudoTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.user = harness.SudoUser(USER, PASSWORD)
        cls.addClassCleanup(cls.user.close)
        cls.work = Workload()
        cls.addClassCleanup(cls.work.close)
        cls.busy = cls.work.start([harness.PYTHON, cls.work.script("busy_sudo.py", BUSY),
                                   "sudoRealMark"])  # root's process
        harness.wait_for_exec([cls.busy.pid], "sudoRealMark")
        # The user's own folder: stackpeek's copy, a py-spy only on the user's PATH, reports.
        cls.home = tempfile.mkdtemp(prefix="stackpeek-sudo-real-")
        cls.addClassCleanup(shutil.rmtree, cls.home, True)
        cls.binary = os.path.join(cls.home, "stackpeek")
        shutil.copy(harness.BINARY, cls.binary)
        cls.bin = os.path.join(cls.home, "bin")
        os.mkdir(cls.bin)
        os.symlink(harness.REAL_PY_SPY, os.path.join(cls.bin, "py-spy"))
        for path in (cls.home, cls.binary, cls.bin):
            os.chown(path, cls.user.uid, cls.user.gid, follow_symlinks=False)
        os.chmod(cls.home, 0o755)

    def open(self, user):
        """The screen as `user`, root's process selected."""
        command = user.command(self.binary)
        term = Term(command[0], command[1:], rows=45, cols=150, env=user.env(self.bin, self.home),
                    cwd=self.home)
        self.addCleanup(term.close)
        term.filter("sudoRealMark")
        term.select("pid %-7d" % self.busy.pid)
        return term

    def assert_nothing_left(self):
        """Within 3 s neither py-spy nor sudo with its relay runs any more."""
        deadline = time.monotonic() + 3
        while (harness.live_spies("", [self.busy.pid]) or harness.relays_left()) and \
                time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(harness.live_spies("", [self.busy.pid]), [], "py-spy left running")
        self.assertEqual(harness.relays_left(), [], "sudo or its relay left running")

    def await_stopped(self, term, key):
        start = time.monotonic()
        term.child.send(key)
        while "mode: browse" not in term.text() and time.monotonic() - start < 5:
            term.pump(0.01)
        elapsed = time.monotonic() - start
        self.assertIn("mode: browse", term.text())
        self.assertLess(elapsed, STOP_LIMIT, "stopped after %.2f s" % elapsed)
        self.assert_nothing_left()

    def accept(self, term, passwords):
        """Enter in the pop-up, then each password at sudo's prompt as it comes."""
        asked = term.raw.count(PROMPT.encode())
        term.send(KEY_ENTER)
        for number, password in enumerate(passwords, 1):
            deadline = time.monotonic() + 10
            while term.raw.count(PROMPT.encode()) < asked + number:
                self.assertLess(time.monotonic(), deadline, "sudo asked no password")
                term.pump(0.05)
            term.child.send(password + "\r")

    def ask(self, term, key):
        term.send(key)
        text = term.wait_for("Permission Needed")
        self.assertIn("Process %d runs as another user" % self.busy.pid, text)

    def test_dump_top_and_record_of_roots_process_with_one_password(self):
        term = self.open(self.user)
        self.ask(term, "d")
        term.send(KEY_ESC, settle=0.3)
        self.assertIn("Canceled sudo prompt", term.text())

        self.ask(term, "d")
        self.accept(term, ["wrong-1", "wrong-2", "wrong-3"])
        text = term.wait_for("sudo authentication canceled or failed", timeout=30)
        self.assertIn("$ sudo -v", text)

        self.ask(term, "d")
        self.accept(term, [PASSWORD])
        text = term.wait_for("Completed 1 py-spy command", timeout=30)
        self.assertIn("burn_sudo_mark", text)
        self.assertIn("$ sudo -n %s/py-spy dump --pid %d" % (self.bin, self.busy.pid), text)
        prompts = term.raw.count(PROMPT.encode())

        # The pop-up stays before each run; its sudo -v asks nothing while the ticket holds.
        self.ask(term, "t")
        term.send(KEY_ENTER)
        term.wait_for("burn_sudo_mark (busy_sudo.py", timeout=20)
        self.assertNotIn("password is required", term.text())
        # py-spy's terminal follows the output pane when the screen is resized.
        wide = top_window(self.busy.pid)
        term.resize(45, 120)
        deadline = time.monotonic() + 5
        while top_window(self.busy.pid) == wide and time.monotonic() < deadline:
            term.pump(0.1)
        self.assertLess(top_window(self.busy.pid)[1], wide[1])
        self.assertLess(top_window(self.busy.pid)[1], 120)
        self.await_stopped(term, KEY_ESC)
        self.assertIn("Canceled running py-spy command", term.text())

        self.ask(term, KEY_ENTER)
        term.send(KEY_ENTER)
        harness.await_records(self, [self.busy.pid], term.pump)
        term.pump(4)
        term.child.send(KEY_ESC)
        term.wait_for("mode: browse", timeout=10)
        self.assertEqual(term.raw.count(PROMPT.encode()), prompts, "asked for the password again")

        [folder] = glob.glob(os.path.join(self.home, "py-spy-report-*"))
        self.assertEqual(os.stat(folder).st_uid, self.user.uid)
        raw = os.path.join(folder, "raw")
        self.assertTrue(os.path.getsize(os.path.join(raw, "pid-%d.svg" % self.busy.pid)) > 0)
        self.assertTrue(glob.glob(os.path.join(folder, "**", "*fold*"), recursive=True))
        self.assertTrue(os.path.isfile(os.path.join(folder, "report.md")))
        subprocess.run(self.user.command("rm", "-r", folder), check=True)
        self.assertFalse(os.path.exists(folder))

        # Killed outright, stackpeek still leaves no live top behind: the kernel drops the
        # parent-death signal of a sudo a user starts, but the relay's input ends.
        self.ask(term, "t")
        term.send(KEY_ENTER)
        term.wait_for("burn_sudo_mark (busy_sudo.py", timeout=20)
        os.kill(term.child.pid, signal.SIGKILL)
        self.assert_nothing_left()

    def test_a_configuration_without_tickets_says_so(self):
        user = harness.SudoUser(USER + "0", PASSWORD, defaults="timestamp_timeout=0")
        self.addCleanup(user.close)
        term = self.open(user)
        self.ask(term, "d")
        term.send(KEY_ENTER)
        term.wait_for(lambda t: user.prompt.encode() in term.raw, timeout=10)
        term.child.send(PASSWORD + "\r")
        text = term.wait_for("sudo wanted the password again", timeout=30)
        self.assertIn("timestamp_timeout=0", text)
        self.assertIn("run sudo stackpeek", text)

    def test_headless_commands_explain_and_name_the_command_that_works(self):
        for verb, extra in (("dump", []), ("record", ["--duration", "2"]),
                            ("watch", ["--every", "1"])):
            args = [self.binary, verb, "--pid", str(self.busy.pid), *extra]
            child = subprocess.Popen(self.user.command(*args), env=self.user.env(self.bin, self.home), cwd=self.home,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                     text=True)
            if verb == "watch":  # it runs on, round after round, until stopped
                time.sleep(3.5)
                child.terminate()
            stderr = child.communicate(timeout=30)[1]
            explained = [line for line in stderr.splitlines() if "only root may read" in line]
            self.assertEqual(len(explained), 1, stderr)
            self.assertIn('sudo env "PATH=$PATH" %s %s --pid %d'
                          % (self.binary, verb, self.busy.pid), explained[0])
            self.assertIn("sudo resets PATH", explained[0])
            self.assertNotIn("ptrace_scope", stderr)
            if verb != "watch":
                self.assertEqual(child.returncode, 1)
        for path in glob.glob(os.path.join(self.home, "py-spy-report-*")):
            shutil.rmtree(path)


if __name__ == "__main__":
    if os.geteuid() != 0 or not shutil.which("sudo"):
        print("test_sudo_real.py skipped: needs root (to create a user) and sudo", flush=True)
        raise SystemExit(harness.SKIPPED)
    harness.main(real_py_spy=True)
