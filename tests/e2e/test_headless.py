"""The commands without the screen: list, dump, record and compare, through pipes and pdsh,
with no terminal at all."""

import json
import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

import harness
from harness import Workload


def env_with(**extra):
    env = dict(os.environ)
    env["PATH"] = harness.FAKE_BIN + ":/usr/bin:/bin"
    env.update(extra)
    return env


def run(*args, env=None, stdin_text=None, cwd=None):
    """stackpeek ARGS in a session of its own (no controlling terminal), output piped."""
    return subprocess.run([harness.BINARY, *args], input=stdin_text, capture_output=True,
                          text=True, env=env or env_with(), cwd=cwd, timeout=60,
                          start_new_session=True,
                          stdin=None if stdin_text is not None else subprocess.DEVNULL)


def shell(command, env):
    return subprocess.run(["/bin/sh", "-c", command], capture_output=True, text=True, env=env,
                          timeout=60, stdin=subprocess.DEVNULL, start_new_session=True)


def dump_lines(text):
    """The objects of pdsh output: 'nodeN: {...}' lines."""
    out = []
    for line in text.splitlines():
        label, _, body = line.partition(": ")
        out.append((label, json.loads(body)))
    return out


class HeadlessTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = Workload()
        cls.port = str(harness.free_port())
        _, cls.ranks = cls.work.torch_job("cliMark", port=cls.port)
        listed = run("list", "--json")
        cls.snapshot = json.loads(listed.stdout)
        cls.group = next(g for g in cls.snapshot["groups"]
                         if {m["pid"] for m in g["members"]} == set(cls.ranks))

    @classmethod
    def tearDownClass(cls):
        cls.work.close()

    def test_list_json_and_text(self):
        self.assertEqual(self.group["kind"], "torch/ddp")
        member = self.group["members"][0]
        self.assertEqual(member["torch"]["world_size"], 4)
        self.assertEqual(member["torch"]["master_port"], self.port)
        self.assertEqual(member["runtime"]["kind"], "system")
        self.assertIn("cliMark", member["command"])
        self.assertEqual(sorted(m["torch"]["rank"] for m in self.group["members"]), [0, 1, 2, 3])
        text = run("list")
        self.assertEqual((text.returncode, text.stderr), (0, ""))
        self.assertIn("[torch/ddp] 4 procs  key: " + self.group["key"], text.stdout)
        self.assertIn("  pid %-7d rank 0/4 local 0" % self.ranks[0], text.stdout)

    def test_pdsh_fan_out_into_compare(self):
        odd = self.ranks[3]
        env = env_with(STACKPEEK_FAKE_DUMP_ODD_PIDS=str(odd))
        dump = "%s dump --group '%s' --json --host %%h" % (harness.BINARY, self.group["key"])
        fanned = shell("pdsh -R exec -w node[1-3] " + dump, env)
        self.assertEqual(fanned.returncode, 0, fanned.stderr)
        lines = dump_lines(fanned.stdout)
        self.assertEqual(len(lines), 12)
        for label, line in lines:
            self.assertEqual(line["host"], label)
            self.assertEqual((line["status"], line["exit_code"], line["world_size"]),
                             ("Success", 0, 4))
            self.assertEqual(line["group"], self.group["key"])
            self.assertEqual(line["rank"], self.ranks.index(line["pid"]))
            self.assertEqual(line["threads"][0]["name"], "MainThread")
        piped = shell("pdsh -R exec -w node[1-3] %s | %s compare" % (dump, harness.BINARY), env)
        self.assertEqual(piped.returncode, 0, piped.stderr)
        out = piped.stdout.splitlines()
        self.assertEqual(out[0], "Stacks compared: 12 processes on 3 hosts, 2 distinct")
        self.assertEqual(out[1], "3 processes: node[1-3]:3")
        self.assertIn("9 processes: node[1-3]:0-2", out)
        as_json = json.loads(run("compare", "--json", stdin_text=fanned.stdout).stdout)
        self.assertEqual((as_json["processes"], as_json["hosts"], as_json["distinct"]), (12, 3, 2))
        self.assertEqual([len(b["members"]) for b in as_json["buckets"]], [3, 9])

    def test_two_level_fan_out_gives_the_flat_comparison(self):
        # Each node's lines are kept in a file, so both ways read the same dumps.
        env = env_with(STACKPEEK_FAKE_DUMP_ODD_PIDS=str(self.ranks[1]))
        folder = tempfile.mkdtemp(prefix="stackpeek-two-level-")
        self.addCleanup(shutil.rmtree, folder)
        pids = " ".join("--pid %d" % pid for pid in self.ranks[:3])  # rank 3 is missing
        dump = "%s dump %s --json --repeat 2 --interval 1 --host %%h" % (harness.BINARY, pids)
        hosts = "rack[1-2]-n[1-2]"
        for host in ("rack1-n1", "rack1-n2", "rack2-n1", "rack2-n2"):
            with open(os.path.join(folder, host), "w") as f:
                f.write(shell(dump.replace("%h", host), env).stdout)
        node = "cat %s/%%h" % folder
        flat = shell("pdsh -R exec -w %s %s | %s compare" % (hosts, node, harness.BINARY), env)
        rack = "pdsh -R exec -w %%h-n[1-2] cat %s/%%%%h | %s compare --json" % (
            folder, harness.BINARY)
        two_level = shell("pdsh -R exec -w rack[1-2] sh -c '%s' | %s compare"
                          % (rack, harness.BINARY), env)
        self.assertEqual(flat.returncode, 0, flat.stderr)
        self.assertEqual((two_level.returncode, two_level.stderr), (0, ""))
        self.assertEqual(two_level.stdout, flat.stdout)
        out = flat.stdout.splitlines()
        self.assertEqual(out[0], "Stacks compared: 12 processes on 4 hosts, 2 distinct, "
                                 "missing ranks 3")
        self.assertTrue(out[1].startswith("4 processes: rack1-n[1,2],rack2-n[1,2]:1, "
                                          "unchanged for "), out)

    def test_failures_exit_one(self):
        env = env_with(STACKPEEK_FAKE_FAIL_PIDS=str(self.ranks[1]))
        dumped = run("dump", "--pid", str(self.ranks[0]), "--pid", str(self.ranks[1]), "--json",
                     env=env)
        self.assertEqual(dumped.returncode, 1)
        self.assertEqual(dumped.stderr, "")
        failed = json.loads(dumped.stdout.splitlines()[1])
        self.assertEqual((failed["status"], failed["exit_code"]), ("Failure", 1))
        self.assertNotIn("threads", failed)
        compared = run("compare", stdin_text="web1: " + dumped.stdout.replace("\n", "\nweb2: ", 1)
                       + "not json\n\n")
        self.assertEqual(compared.returncode, 1)
        self.assertIn("<stdin>:3: skipped: not a JSON object", compared.stderr)
        self.assertIn("Stacks compared: 2 processes on 2 hosts, 1 distinct", compared.stdout)
        self.assertIn("1 process: web2:1, dump failed", compared.stdout)
        text = run("dump", "--pid", str(self.ranks[1]), env=env)
        self.assertEqual(text.returncode, 1)
        self.assertIn("status: Failure", text.stdout)
        missing = run("dump", "--all", env=dict(env_with(), PATH="/usr/bin:/bin"))
        self.assertEqual((missing.returncode, missing.stdout), (1, ""))
        self.assertIn("py-spy was not found", missing.stderr)
        unreadable = run("compare", "/nonexistent/dumps.jsonl")
        self.assertEqual(unreadable.returncode, 1)
        self.assertIn("cannot read /nonexistent/dumps.jsonl", unreadable.stderr)

    def test_usage_errors_exit_two(self):
        for args in (["dump"], ["dump", "--pid", "x1"], ["record", "--all", "--duration", "0"],
                     ["list", "--all"], ["compare", "--pid", "1"], ["dump", "--all", "--json=1"],
                     ["dump", "--all", "--host"]):
            result = run(*args)
            self.assertEqual((result.returncode, result.stdout), (2, ""), args)
            first, second = result.stderr.splitlines()[:2]
            self.assertTrue(first.startswith("stackpeek: "), result.stderr)
            self.assertEqual(second, "usage:")
        for args, named in ((["record", "--all", "--dir", "/no-such-dir/reports"], "/no-such-dir"),
                            (["watch", "--all", "--dir", "/dev/null"], "not a folder"),
                            (["dump", "--all", "--repeat", "9" * 20], "from 1 to 1000000")):
            result = run(*args)  # refused before any py-spy runs
            self.assertEqual(result.returncode, 2, args)
            self.assertIn(named, result.stderr.splitlines()[0])
        self.assertFalse(os.path.exists("/no-such-dir"))
        self.assertEqual(run("dump", "--group", "no-such-group").returncode, 1)
        helped = run("compare", "--help")
        self.assertEqual(helped.returncode, 0)
        self.assertIn("stackpeek compare [FILE...] [--json]", helped.stdout)

    def test_record_writes_a_report_folder(self):
        out_dir = tempfile.mkdtemp(prefix="stackpeek-record-")
        self.addCleanup(shutil.rmtree, out_dir, ignore_errors=True)
        env = env_with(STACKPEEK_FAKE_RECORD_SECONDS="0.2")
        result = run("record", "--pid", str(self.ranks[0]), "--duration", "7", "--dir", out_dir,
                     "--json", env=env)
        self.assertEqual(result.returncode, 0, result.stderr)
        doc = json.loads(result.stdout)
        folder = doc["report_directory"]
        self.assertEqual(os.path.dirname(folder), out_dir)
        self.assertIn("--duration 7", doc["records"][0]["command_line"])
        for name in ("report.md", "report.json", "raw/pid-%d.svg" % self.ranks[0]):
            self.assertTrue(os.path.isfile(os.path.join(folder, name)), name)
        text = run("record", "--group", self.group["key"], "--duration", "1", env=env,
                   cwd=out_dir)
        self.assertEqual(text.returncode, 0, text.stderr)
        self.assertEqual(len(os.listdir(os.path.join(text.stdout.strip(), "raw"))), 4)
        nowhere = run("record", "--pid", str(self.ranks[0]), "--dir", "/dev/null/x", env=env)
        self.assertEqual((nowhere.returncode, nowhere.stdout), (2, ""))
        self.assertIn("--dir /dev/null/x: /dev/null is not a folder", nowhere.stderr)

    def test_sigterm_stops_every_py_spy(self):
        out_dir = tempfile.mkdtemp(prefix="stackpeek-stop-")
        self.addCleanup(shutil.rmtree, out_dir, ignore_errors=True)
        log = os.path.join(out_dir, "log")
        proc = subprocess.Popen([harness.BINARY, "record", "--group", self.group["key"],
                                 "--dir", out_dir], env=env_with(STACKPEEK_FAKE_LOG=log),
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, start_new_session=True)
        harness.await_records(self, self.ranks, log=log)
        proc.send_signal(signal.SIGTERM)
        out, _ = proc.communicate(timeout=10)
        self.assertEqual(proc.returncode, 128 + signal.SIGTERM)
        folder = out.strip()
        self.assertEqual(len(os.listdir(os.path.join(folder, "raw"))), 4)
        self.assertTrue(os.path.isfile(os.path.join(folder, "report.json")))
        left = subprocess.run(["pgrep", "-f", "record --duration 30 -o " + folder],
                              capture_output=True, text=True)
        self.assertEqual(left.stdout, "")

    def test_sigkill_leaves_no_py_spy_behind(self):
        """The profiler dies with stackpeek; the real one when it is there."""
        env = env_with()
        if not harness.real_py_spy_missing():
            real_bin = tempfile.mkdtemp(prefix="stackpeek-real-")
            self.addCleanup(shutil.rmtree, real_bin, ignore_errors=True)
            os.symlink(harness.REAL_PY_SPY, os.path.join(real_bin, "py-spy"))
            env["PATH"] = real_bin + ":/usr/bin:/bin"
        out_dir = tempfile.mkdtemp(prefix="stackpeek-kill-")
        self.addCleanup(shutil.rmtree, out_dir, ignore_errors=True)
        target = [self.ranks[1]]
        proc = subprocess.Popen([harness.BINARY, "record", "--pid", str(target[0]), "--duration",
                                 "30", "--dir", out_dir], env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                start_new_session=True)
        harness.await_records(self, target)
        proc.kill()
        proc.wait()
        deadline = time.monotonic() + 3
        while harness.live_spies("record", target) and time.monotonic() < deadline:
            time.sleep(0.05)
        left = harness.live_spies("record", target)
        for pid in left:
            os.kill(pid, signal.SIGKILL)
        self.assertEqual(left, [], "py-spy outlived a killed stackpeek")


if __name__ == "__main__":
    harness.main()
