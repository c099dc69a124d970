"""Checks the py-spy stand-in in tests/bin, which the end-to-end tests put on PATH.

Run as: python3 tests/e2e/test_fake_py_spy.py [path-to-stackpeek]; the argument is ignored.
"""

import fcntl
import os
import pty
import select
import signal
import subprocess
import sys
import tempfile
import termios
import time
import tty
import unittest
import xml.etree.ElementTree as ElementTree
from pathlib import Path

FAKE = Path(__file__).resolve().parent.parent / "bin" / "py-spy"
KNOBS = [name for name in os.environ if name.startswith("STACKPEEK_FAKE_")]


def environment(env):
    """This process's environment with only the given knobs set."""
    result = {k: v for k, v in os.environ.items() if k not in KNOBS}
    result.update({k: str(v) for k, v in env.items()})
    return result


class Terminal:
    """A raw pseudo-terminal for top's standard input, as stackpeek gives it one."""

    def __init__(self):
        self.master, self.slave = pty.openpty()
        tty.setraw(self.slave)

    def close(self):
        os.close(self.master)
        os.close(self.slave)


def run(*args, timeout=20, user=None, stdin=subprocess.DEVNULL, **env):
    """Runs the stand-in to its end; stdout and stderr as bytes."""
    return subprocess.run([str(FAKE), *args], env=environment(env), stdin=stdin,
                          capture_output=True, timeout=timeout, user=user)


def start(*args, stdin=subprocess.DEVNULL, **env):
    """Starts the stand-in with both output streams piped."""
    return subprocess.Popen([str(FAKE), *args], env=environment(env), stdin=stdin,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, bufsize=0)


def read_until(process, marker, count=1, timeout=10):
    """Reads standard output until `marker` has come `count` times; returns what was read."""
    data = b""
    deadline = time.monotonic() + timeout
    while data.count(marker) < count:
        remaining = deadline - time.monotonic()
        if remaining <= 0 or not select.select([process.stdout], [], [], remaining)[0]:
            raise AssertionError(f"timed out waiting for {marker!r} in {data!r}")
        chunk = os.read(process.stdout.fileno(), 65536)
        if not chunk:
            raise AssertionError(f"output ended before {marker!r}: {data!r}")
        data += chunk
    return data


def dead_pid():
    child = subprocess.Popen(["true"])
    child.wait()
    return child.pid


class Target:
    """A sleeping child process to point the stand-in at."""

    def __init__(self):
        self.process = subprocess.Popen(["sleep", "30"])
        self.pid = self.process.pid

    def stop(self):
        self.process.kill()
        self.process.wait()


class FakePySpyTest(unittest.TestCase):
    def setUp(self):
        self.target = Target()
        self.addCleanup(self.target.stop)
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.pid = str(self.target.pid)

    def record(self, out, **env):
        return run("record", "--duration", "30", "-o", str(out), "--pid", self.pid,
                   STACKPEEK_FAKE_RECORD_SECONDS=0.2, **env)

    def test_other_command_lines_are_usage_errors(self):
        for args in ([], ["dump"], ["dump", "--pid"], ["dump", "--pid", "12x"],
                     ["dump", "--pid", self.pid, "--native"],
                     ["record", "--duration", "0", "-o", "x.svg", "--pid", self.pid],
                     ["top", "--pid", self.pid, "--delay", "2"], ["--version"]):
            result = run(*args)
            self.assertEqual(result.returncode, 2, args)
            self.assertIn(b"usage:", result.stderr)
            self.assertEqual(result.stdout, b"")

    def test_dump_prints_process_and_main_thread(self):
        result = run("dump", "--pid", self.pid)
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.decode().splitlines()
        self.assertEqual(lines[0], f"Process {self.pid}: sleep 30")
        self.assertRegex(lines[1], r"^Python v3\.11\.2 \(/.+\)$")
        self.assertEqual(lines[2], "")
        self.assertEqual(lines[3], f'Thread {self.pid} (active+gil): "MainThread"')
        self.assertEqual(lines[4], "    main (train.py:12)")
        self.assertGreaterEqual(len(lines), 6)
        self.assertEqual(result.stderr, b"")

    def test_process_that_is_gone_fails(self):
        for mode in (["dump", "--pid", str(dead_pid())],
                     ["top", "--pid", str(dead_pid()), "--delay", "1"]):
            result = run(*mode)
            self.assertEqual(result.returncode, 1)
            self.assertEqual(result.stderr, b"Error: Failed to get process executable name. "
                                            b"Check that the process is running.\n\n"
                                            b"Caused by:\n"
                                            b"    0: No such file or directory (os error 2)\n"
                                            b"    1: No such file or directory (os error 2)\n")

    def test_record_writes_svg_and_summary(self):
        out = Path(self.tmp.name) / f"pid-{self.pid}.svg"
        result = self.record(out)
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.decode().split("\n")
        self.assertEqual(lines[0], "py-spy> Sampling process 100 times a second for 30 seconds."
                                   " Press Control-C to exit.")
        self.assertEqual(lines[1], "")
        self.assertRegex(lines[2], rf"^py-spy> Wrote flamegraph data to '{out}'\. "
                                   r"Samples: [1-9]\d* Errors: 0$")
        self.assertEqual(lines[3:], [""])
        self.assertEqual(ElementTree.parse(out).getroot().tag, "{http://www.w3.org/2000/svg}svg")

    def test_record_notices_target_exit(self):
        out = Path(self.tmp.name) / "short.svg"
        record = start("record", "--duration", "30", "-o", str(out), "--pid", self.pid,
                       STACKPEEK_FAKE_RECORD_SECONDS=20)
        stdout = read_until(record, b"Control-C to exit.\n\n")
        started = time.monotonic()
        self.target.stop()
        stdout += record.communicate(timeout=10)[0]
        self.assertLess(time.monotonic() - started, 5)
        self.assertEqual(record.returncode, 0)
        self.assertIn(b"exit.\n\n\npy-spy> Stopped sampling because process exited\npy-spy> Wrote",
                      stdout)
        self.assertTrue(out.exists())

    def test_record_stops_at_sigint_and_writes_svg(self):
        out = Path(self.tmp.name) / "interrupted.svg"
        record = start("record", "--duration", "30", "-o", str(out), "--pid", self.pid,
                       STACKPEEK_FAKE_RECORD_SECONDS=20)
        stdout = read_until(record, b"Control-C to exit.\n\n")
        started = time.monotonic()
        record.send_signal(signal.SIGINT)
        out_rest, stderr = record.communicate(timeout=10)
        stdout += out_rest
        self.assertLess(time.monotonic() - started, 5)
        self.assertEqual(record.returncode, 0, stderr)
        self.assertEqual(stderr, b"")
        self.assertRegex(stdout.decode(), r"exit\.\n\n\npy-spy> Stopped sampling because Control-C "
                                          r"pressed\npy-spy> Wrote flamegraph data to '.+'\. "
                                          r"Samples: [1-9]\d* Errors: 0\n$")
        self.assertEqual(ElementTree.parse(out).getroot().tag, "{http://www.w3.org/2000/svg}svg")

    def test_exit_code_fails_after_start_output(self):
        result = self.record(Path(self.tmp.name) / "x.svg", STACKPEEK_FAKE_EXIT_CODE=3)
        self.assertEqual(result.returncode, 3)
        self.assertTrue(result.stdout.startswith(b"py-spy> Sampling"))
        self.assertNotIn(b"Wrote", result.stdout)
        self.assertEqual(result.stderr, b"Error: stand-in failure with exit status 3\n")
        self.assertEqual(run("dump", "--pid", self.pid, STACKPEEK_FAKE_EXIT_CODE=3).returncode, 3)

    def test_record_into_missing_folder_fails(self):
        result = self.record(Path(self.tmp.name) / "missing" / "x.svg")
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"Error: Failed to write flamegraph", result.stderr)

    def terminal(self):
        term = Terminal()
        self.addCleanup(term.close)
        return term

    def test_top_writes_screens_until_told_to_exit(self):
        # Standard output is no terminal: 24x80 and no colours, as with the real one.
        result = run("top", "--pid", self.pid, "--delay", "1", stdin=self.terminal().slave,
                     STACKPEEK_FAKE_TOP_DELAY=0.05, STACKPEEK_FAKE_TOP_EXIT_AFTER=3,
                     STACKPEEK_FAKE_TOP_EXIT_CODE=4)
        self.assertEqual(result.returncode, 4)
        self.assertTrue(result.stdout.startswith(b"\n" * 25 + b"\x1b[H"))
        screens = result.stdout[25:].split(b"\x1b[H")[1:]
        self.assertEqual(len(screens), 3)
        first = screens[0].split(b"\n")
        self.assertEqual(len(first), 24)
        self.assertEqual(first[0], b"\r\x1b[2KCollecting samples from 'sleep 30' (python v3.11.2)")
        self.assertEqual(first[1], b"\r\x1b[2KTotal Samples 100")
        self.assertEqual(first[4], b"\r\x1b[2K  %Own   %Total  OwnTime  TotalTime  "
                                   b"Function (filename)" + b" " * 24)
        self.assertEqual(first[5], b"\r\x1b[2K 40.00%  40.00%   0.400s    0.400s   forward (model.py)")
        self.assertEqual(first[22], b"\r\x1b[2KPress Control-C to quit, or ? for help.")
        self.assertNotEqual(screens[0], screens[1], "the counters move between screens")

    def test_top_needs_a_terminal_and_swallows_its_keys(self):
        result = run("top", "--pid", self.pid, "--delay", "1")
        self.assertEqual((result.returncode, result.stdout), (1, b""))
        self.assertEqual(result.stderr, b"Error: Inappropriate ioctl for device (os error 25)\n")

        term = self.terminal()
        top = start("top", "--pid", self.pid, "--delay", "1", stdin=term.slave,
                    STACKPEEK_FAKE_TOP_DELAY=0.05)
        read_until(top, b"\x1b[H")
        os.write(term.master, b"q1\x1b")
        deadline = time.monotonic() + 5
        while fcntl.ioctl(term.slave, termios.FIONREAD, b"\0\0\0\0") != b"\0\0\0\0":
            self.assertLess(time.monotonic(), deadline, "the keys were never read")
            time.sleep(0.02)
        self.assertIsNone(top.poll())
        top.kill()
        top.communicate(timeout=10)

    def test_top_runs_until_killed(self):
        top = start("top", "--pid", self.pid, "--delay", "1", stdin=self.terminal().slave,
                    STACKPEEK_FAKE_TOP_DELAY=0.05)
        read_until(top, b"\x1b[H", count=3)
        self.assertIsNone(top.poll())
        top.kill()
        _, stderr = top.communicate(timeout=10)
        self.assertEqual(top.returncode, -signal.SIGKILL)
        self.assertEqual(stderr, b"")

    def test_top_ends_with_its_target(self):
        top = start("top", "--pid", self.pid, "--delay", "1", stdin=self.terminal().slave,
                    STACKPEEK_FAKE_TOP_DELAY=0.05)
        # The initial line feeds come only once the target was seen alive.
        stdout = read_until(top, b"\n", count=25)
        self.target.stop()
        stdout += top.communicate(timeout=10)[0]
        self.assertEqual(top.returncode, 0)
        self.assertTrue(stdout.endswith(f"\nprocess {self.pid} ended\n".encode()), stdout)

    def test_fail_pids_fail_as_not_python(self):
        result = run("dump", "--pid", self.pid, STACKPEEK_FAKE_FAIL_PIDS=f"1, {self.pid}")
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr,
                         b"Error: Failed to find python version from target process\n")
        self.assertEqual(run("dump", "--pid", self.pid, STACKPEEK_FAKE_FAIL_PIDS="1").returncode, 0)

    def test_deny_fails_unless_root(self):
        if os.geteuid() == 0:
            self.assertEqual(run("dump", "--pid", self.pid, STACKPEEK_FAKE_DENY=1).returncode, 0)
        # As root, check the refusal as the unprivileged user nobody.
        nobody = 65534 if os.geteuid() == 0 else None
        result = run("dump", "--pid", self.pid, user=nobody, STACKPEEK_FAKE_DENY=1)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr, b"Permission Denied: Try running again with elevated "
                                        b"permissions by going 'sudo env \"PATH=$PATH\" !!'\n")

    def test_signal_kills_after_start_output(self):
        result = self.record(Path(self.tmp.name) / "x.svg", STACKPEEK_FAKE_SIGNAL=9)
        self.assertEqual(result.returncode, -signal.SIGKILL)
        self.assertTrue(result.stdout.startswith(b"py-spy> Sampling"))
        self.assertNotIn(b"Wrote", result.stdout)
        self.assertEqual(run("dump", "--pid", self.pid, STACKPEEK_FAKE_SIGNAL=15).returncode,
                         -signal.SIGTERM)
        self.assertEqual(run("dump", "--pid", self.pid, STACKPEEK_FAKE_SIGNAL=11).returncode,
                         -signal.SIGSEGV)

    def test_binary_output_is_not_utf8(self):
        result = run("dump", "--pid", self.pid, STACKPEEK_FAKE_BINARY=1)
        self.assertEqual(result.returncode, 0)
        self.assertIn(b"\xff\xfe", result.stdout)
        with self.assertRaises(UnicodeDecodeError):
            result.stdout.decode()

    def test_big_output_fills_both_streams(self):
        result = run("dump", "--pid", self.pid, STACKPEEK_FAKE_BIG_MIB=3)
        self.assertEqual(result.returncode, 0)
        self.assertGreaterEqual(len(result.stdout), 3 << 20)
        self.assertEqual(len(result.stderr), 3 << 20)

    def test_sleep_delays_everything(self):
        started = time.monotonic()
        result = run("dump", "--pid", self.pid, STACKPEEK_FAKE_SLEEP=0.4)
        self.assertGreaterEqual(time.monotonic() - started, 0.4)
        self.assertEqual(result.returncode, 0)

    def test_log_records_each_start(self):
        log = Path(self.tmp.name) / "starts.log"
        before = time.time_ns()
        run("dump", "--pid", self.pid, STACKPEEK_FAKE_LOG=log)
        run("bogus", STACKPEEK_FAKE_LOG=log)
        first, second = log.read_text().splitlines()
        word, mode, pid, monotonic_ns, wall_ns = first.split()
        self.assertEqual((word, mode, pid), ("START", "dump", self.pid))
        self.assertGreater(int(monotonic_ns), 0)
        self.assertGreaterEqual(int(wall_ns), before)
        self.assertEqual(second.split()[:3], ["START", "bogus", "-"])


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]])
