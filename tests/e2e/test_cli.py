"""Command line: help, version, argument scan, and refusing a missing terminal."""

import subprocess
import unittest

import harness

HELP = (
    "stackpeek 0.1.10\n\nUsage:\nstackpeek\nstackpeek --help\nstackpeek --version\n\nKeys:\n"
    "Enter       Record selected process/group for 30 seconds\n"
    "d           Dump selected process/group\n"
    "t           Live py-spy top for selected PID\n"
    "w           Watch selected group for a hang (again: stop)\n"
    "r           Refresh process groups\n"
    "Space       Expand/collapse group\n"
    "j/k, arrows Move selection\n"
    "Home/End    First/last row (also g/G)\n"
    "PageUp/Down Scroll output\n"
    "o           Zoom output pane in/out\n"
    "j/k, arrows Zoomed: scroll the output a line\n"
    "PageUp/Down Zoomed: scroll a page\n"
    "Home/End    Zoomed: first/last line (also g/G)\n"
    "/           Filter the list (Enter keeps; Esc restores, then clears)\n"
    "q           Quit\n"
    "Ctrl+C      Quit; cancels an active run\n"
    "Ctrl+Z      Suspend (fg resumes)\n"
    "Ctrl+L      Repaint the screen\n"
    "\n"
    "Without the screen:\n"
    "stackpeek list [--json] [--slurm-job [ID]]\n"
    "stackpeek dump TARGET... [--json] [--host NAME] [--repeat N] [--interval S]\n"
    "               [--svg FILE]\n"
    "stackpeek record TARGET... [--duration S] [--dir DIR] [--json]\n"
    "stackpeek compare [FILE...] [--json] [--svg FILE]\n"
    "stackpeek watch TARGET... [--every S] [--stuck-after S] [--record S] [--dir DIR]\n"
    "                [--json] [--host NAME] [--exec CMD]\n"
    "TARGET: --pid PID (repeatable), --group KEY (repeatable; see `stackpeek list`),\n"
    "        --all or --slurm-job [ID] (a Slurm job's Python processes on this node;\n"
    "        ID defaults to SLURM_JOB_ID)\n"
    "--host NAME defaults to SLURMD_NODENAME when set, else the host name\n"
    "--svg FILE also writes the stacks as one flame graph of the group\n"
    "S: whole seconds from 1 to 2592000; N: 1 to 1000000\n"
    "list     the Python processes in their groups (group rows end with their key)\n"
    "dump     py-spy dump of every target at once: the compared stacks and each\n"
    "         command's output, or with --json one JSON line per process;\n"
    "         --repeat N dumps N times, --interval S (default 5) seconds apart, and\n"
    "         tells which stacks stayed exactly the same (\"unchanged for S s\")\n"
    "record   py-spy record of every target (--duration S, default 30), then one\n"
    "         dump of each, into a new report folder under --dir (default the\n"
    "         current one, which must exist or have a parent that does); prints\n"
    "         its path. A group's report draws all its profiles in one flame graph,\n"
    "         group.svg\n"
    "compare  compares dump JSON lines from the files or standard input; a line may\n"
    "         start with a \"NAME: \" label (pdsh, srun --label) that names its host;\n"
    "         it reads its own --json output again, to merge groups of nodes\n"
    "watch    dumps every target each --every S (30) and reports, one line per\n"
    "         event (--json: one JSON object), groups whose stacks stay unchanged for\n"
    "         --stuck-after S (300): stuck, recovered, lost, failing, started, ended.\n"
    "         A stuck group's evidence goes to stackpeek-watch-LABEL-SECONDS/ under\n"
    "         --dir: compare.txt, dumps.jsonl, history.txt, stacks.svg (the stacks as\n"
    "         one flame graph), with --record S a report folder; then --exec CMD\n"
    "         runs with STACKPEEK_EVIDENCE and STACKPEEK_GROUP\n"
    "         (its output goes to standard error). Runs until SIGINT, SIGTERM or\n"
    "         SIGHUP (exit 0), or, without --all, until every target has exited\n"
    "A refused read of a process names its cause on standard error (another user's\n"
    "process, or kernel.yama.ptrace_scope) and the sudo command that would work.\n"
    "Exit status: 0 when every py-spy command succeeded, 1 when any failed or py-spy\n"
    "is missing, 2 for a usage error.\n")


def run(*args):
    return subprocess.run([harness.BINARY, *args], stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=10)


class CommandLineTest(unittest.TestCase):
    def test_help_and_version_byte_for_byte(self):
        for args, out in ((["--help"], HELP), (["-h"], HELP), (["-V"], "stackpeek 0.1.10\n"),
                          (["--version"], "stackpeek 0.1.10\n")):
            result = run(*args)
            self.assertEqual(result.returncode, 0)
            self.assertEqual(result.stdout.decode(), out)
            self.assertEqual(result.stderr, b"")

    def test_first_matching_argument_decides(self):
        self.assertEqual(run("--bogus", "--version").stdout.decode(), "stackpeek 0.1.10\n")
        self.assertEqual(run("--version", "--help").stdout.decode(), "stackpeek 0.1.10\n")
        self.assertEqual(run("-h", "--version").stdout.decode(), HELP)
        self.assertEqual(run(b"\xff\xfe", "-V").stdout.decode(), "stackpeek 0.1.10\n")

    def test_near_misses_start_the_interface_which_needs_a_terminal(self):
        for arg in ("-v", "--Help", "-hV", "--versions", b"\xff", "List", "dumps", "--list"):
            result = run(arg)
            self.assertEqual(result.returncode, 1, arg)
            self.assertEqual(result.stdout, b"")
            self.assertTrue(result.stderr.startswith(b"Error: "), result.stderr)
            self.assertEqual(result.stderr.count(b"\n"), 1, result.stderr)
            self.assertNotIn(b"\x1b", result.stderr)


if __name__ == "__main__":
    harness.main()
