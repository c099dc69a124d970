"""The permission prompt and the sudo hand-over, as a non-root user with a stand-in sudo."""

import os
import pwd
import shutil
import subprocess
import tempfile
import unittest

import harness
from harness import KEY_ENTER, KEY_ESC, Term, Workload

USER = "stackpeek-e2e"
FAKE_SUDO = """#!/bin/sh
# Stand-in sudo: "-v" asks for a password on the terminal; "-n" runs the command as is.
if [ "$1" = "-v" ]; then
  printf '[sudo] password for %s: ' "$(id -un)" > /dev/tty
  read -r answer < /dev/tty
  if [ "$FAKE_SUDO_RESULT" = ok ]; then exit 0; fi
  echo "Sorry, try again." >&2
  echo "sudo: 1 incorrect password attempt" >&2
  exit 1
fi
if [ "$1" = "-n" ]; then shift; exec "$@"; fi
exit 1
"""


def ptrace_scope():
    try:
        with open("/proc/sys/kernel/yama/ptrace_scope") as f:
            return f.read().strip()
    except OSError:
        return None


@unittest.skipUnless(os.geteuid() == 0, "needs root to create a test user")
class SudoTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        try:
            pwd.getpwnam(USER)
        except KeyError:
            subprocess.run(["useradd", "--no-create-home", "--shell", "/bin/sh", USER], check=True)
        cls.user = pwd.getpwnam(USER)
        # Everything the user runs lives in a world-readable folder of its own.
        cls.dir = tempfile.mkdtemp(prefix="stackpeek-sudo-")
        os.chmod(cls.dir, 0o755)
        cls.binary = os.path.join(cls.dir, "stackpeek")
        shutil.copy(harness.BINARY, cls.binary)
        cls.bin = os.path.join(cls.dir, "bin")
        os.mkdir(cls.bin)
        shutil.copy(os.path.join(harness.FAKE_BIN, "py-spy"), cls.bin)
        with open(os.path.join(cls.bin, "sudo"), "w") as f:
            f.write(FAKE_SUDO)
        for name in os.listdir(cls.bin):
            os.chmod(os.path.join(cls.bin, name), 0o755)
        os.chmod(cls.binary, 0o755)
        cls.work = Workload()
        cls.target = cls.work.sleeper("sudoMark")  # root's process
        own = os.path.join(cls.dir, "own.py")
        with open(own, "w") as f:
            f.write("import time\nwhile True: time.sleep(0.2)\n")
        cls.own = cls.work.start(["/usr/bin/setpriv", "--reuid=%d" % cls.user.pw_uid,
                                  "--regid=%d" % cls.user.pw_gid, "--clear-groups", "--",
                                  harness.PYTHON, own, "ownMark", cls.work.marker],
                                 cwd=cls.dir)
        harness.wait_for_exec([cls.own.pid], "ownMark")

    @classmethod
    def tearDownClass(cls):
        cls.work.close()
        shutil.rmtree(cls.dir, ignore_errors=True)

    def start(self, sudo_result="ok"):
        env = {"PATH": self.bin + ":/usr/bin:/bin", "FAKE_SUDO_RESULT": sudo_result,
               "HOME": self.dir}
        self.term = Term("/usr/bin/setpriv",
                         ["--reuid=%d" % self.user.pw_uid, "--regid=%d" % self.user.pw_gid,
                          "--clear-groups", "--", self.binary],
                         rows=50, cols=160, env=env, cwd=self.dir)
        self.term.filter(self.work.marker)
        self.term.wait_for("sudoMark")
        return self.term

    def open(self, sudo_result):
        """The prompt for a dump of root's process."""
        self.start(sudo_result)
        self.term.select("pid %-7d" % self.target.pid)
        self.term.send("d")
        text = self.term.wait_for("Permission Needed")
        self.assertIn("mode: permission", text)
        self.assertIn("Process %d runs as another user" % self.target.pid, text)
        self.assertIn("Press n to try without sudo.", text)
        return self.term

    def tearDown(self):
        self.term.close()

    def test_accepted_sudo_runs_every_command_through_sudo(self):
        term = self.open("ok")
        term.send(KEY_ENTER)
        term.wait_for("[sudo] password for %s:" % USER)
        # The prompt came after the full screen was left.
        prompt = term.raw.rfind(b"[sudo] password")
        self.assertGreater(prompt, term.raw.rfind(b"\x1b[?1049l"))
        self.assertGreater(term.raw.rfind(b"\x1b[?1049l"), term.raw.rfind(b"\x1b[?1049h"))
        term.send("secret\r")
        text = term.wait_for("Completed 1 py-spy command")
        self.assertIn("Python Processes", text)  # repainted
        self.assertNotIn("[sudo] password", text)
        self.assertGreater(term.raw.rfind(b"\x1b[?1049h"), term.raw.rfind(b"[sudo] password"))
        self.assertIn("$ sudo -n %s/py-spy dump --pid %d" % (self.bin, self.target.pid), text)
        self.assertIn("status: Success", text)

    def test_failed_validation_shows_its_record(self):
        term = self.open("fail")
        term.send(KEY_ENTER)
        term.wait_for("[sudo] password for %s:" % USER)
        term.send("wrong\r")
        text = term.wait_for("sudo authentication canceled or failed")
        self.assertIn("$ sudo -v", text)
        self.assertIn("status: Failure", text)
        self.assertIn("Sorry, try again.", text)
        self.assertIn("mode: browse", text)

    def test_own_process_needs_no_prompt_and_n_declines_sudo(self):
        if ptrace_scope() in (None, "0"):
            term = self.start()
            term.select("pid %-7d" % self.own.pid)
            term.send("d")
            text = term.wait_for("Completed 1 py-spy command")
            self.assertIn("$ %s/py-spy dump --pid %d" % (self.bin, self.own.pid), text)
            term.close()
        term = self.open("ok")
        term.send("n")
        text = term.wait_for("py-spy command")
        self.assertNotIn("Permission Needed", text)
        self.assertIn("$ %s/py-spy dump --pid %d" % (self.bin, self.target.pid), text)
        self.assertNotIn("[sudo] password", term.raw.decode(errors="replace"))

    def test_escape_cancels_the_prompt(self):
        term = self.open("ok")
        term.send(KEY_ESC, settle=0.3)
        text = term.text()
        self.assertIn("Canceled sudo prompt", text)
        self.assertNotIn("Permission Needed", text)


if __name__ == "__main__":
    harness.main()
