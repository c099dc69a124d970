"""A real torch job (four gloo ranks on the CPU, one stuck in its data loader) under the real
py-spy: the stack comparison names the stuck rank alone, on the screen and without it."""

import json
import os
import re
import shutil
import subprocess
import tempfile
import unittest

import harness
from harness import Term, TorchJob


def run(*args, stdin_text=None):
    """stackpeek ARGS without a terminal, with the real py-spy."""
    env = dict(os.environ, **harness.real_env())
    return subprocess.run([harness.BINARY, *args], input=stdin_text, capture_output=True,
                          text=True, env=env, timeout=120, start_new_session=True,
                          stdin=None if stdin_text is not None else subprocess.DEVNULL)


def bucket_headers(lines):
    """The comparison's bucket lines: "N process(es): ..." up to the first command record."""
    return [line for line in lines if line[:1].isdigit() and " process" in line.split(":")[0]]


class RealTorchTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.job = TorchJob("realTorchMark")
        cls.slow_pid = cls.job.ranks[TorchJob.SLOW_RANK]
        cls.group = cls.job.group()

    @classmethod
    def tearDownClass(cls):
        cls.job.close()

    def setUp(self):
        self.addCleanup(self.assert_no_py_spy_left)

    def assert_no_py_spy_left(self):
        harness.assert_no_spies(self, self.job.ranks)

    def assert_names_slow_rank_alone(self, headers, name):
        """`headers` hold one bucket of the slow rank alone and one of the other three."""
        self.assertEqual(len(headers), 2, headers)
        self.assertTrue(headers[0].startswith("1 process: " + name), headers)
        self.assertTrue(headers[1].startswith("3 processes: "), headers)

    def test_group_dump_on_the_screen(self):
        cwd = tempfile.mkdtemp(prefix="stackpeek-torch-")
        self.addCleanup(shutil.rmtree, cwd, ignore_errors=True)
        term = Term(harness.BINARY, rows=50, cols=160, cwd=cwd, env=harness.real_env())
        self.addCleanup(term.close)
        self.addCleanup(term.quit_cleanly)
        term.filter(self.job.work.marker)
        term.select("[torch/ddp]")
        term.send("d")
        term.wait_for("Completed 4 py-spy commands; stacks picture", timeout=60)
        pictures = [name for name in os.listdir(cwd) if name.endswith(".svg")]
        self.assertEqual(len(pictures), 1, pictures)
        self.assert_stacks_svg(os.path.join(cwd, pictures[0]), "rank 3", "ranks 0-2")
        lines = term.output_lines()
        self.assertIn("Stacks compared: 4 processes, 2 distinct", lines)
        headers = bucket_headers(lines)
        self.assert_names_slow_rank_alone(headers, "rank 3 (pid %d)" % self.slow_pid)
        slow_frames = lines[lines.index(headers[0]) + 1]
        self.assertTrue(slow_frames.strip().startswith(TorchJob.SLOW_FUNCTION + " ("), lines)
        self.assertTrue(lines[lines.index(headers[1]) + 1].strip().startswith("all_reduce ("))
        self.assertEqual(lines.count("status: Success"), 4)
        term.quit_cleanly()

    def assert_stacks_svg(self, path, slow, rest):
        """The picture has the four ranks at its root, the slow rank's frame a quarter wide
        with its name, and the others' all_reduce three quarters."""
        boxes = harness.flame_boxes(self, path)
        self.assertIn("4 of 4", boxes[0]["title"])
        slow_box = next(b for b in boxes if b["title"].startswith(TorchJob.SLOW_FUNCTION + " ("))
        self.assertIn("1 of 4 processes: " + slow, slow_box["title"])
        self.assertTrue(slow_box["label"].startswith("[%s] %s" % (slow, TorchJob.SLOW_FUNCTION)))
        rest_box = next(b for b in boxes if b["title"].startswith("all_reduce ("))
        self.assertIn("3 of 4 processes: " + rest, rest_box["title"])
        self.assertAlmostEqual(rest_box["w"] / boxes[0]["w"], 0.75, delta=0.01)
        self.assertAlmostEqual(slow_box["w"] / boxes[0]["w"], 0.25, delta=0.01)
        return boxes

    def test_picture_of_the_job_in_a_browser(self):
        cwd = tempfile.mkdtemp(prefix="stackpeek-torch-")
        self.addCleanup(shutil.rmtree, cwd, ignore_errors=True)
        svg, png = os.path.join(cwd, "stacks.svg"), os.path.join(cwd, "stacks.png")
        dumped = run("dump", "--group", self.group["key"], "--svg", svg)
        self.assertEqual(dumped.returncode, 0, dumped.stderr)
        self.assert_stacks_svg(svg, "rank 3", "ranks 0-2")
        if shutil.which("rsvg-convert"):  # a strict reader of SVG besides the browser
            subprocess.run(["rsvg-convert", "-o", png, svg], check=True, timeout=60)
        dom = harness.chromium(["--dump-dom", "file://" + svg])
        if dom is None:
            return
        self.assertIn("[rank 3] " + TorchJob.SLOW_FUNCTION, dom)
        harness.chromium(["--window-size=1220,400", "--screenshot=" + png, "file://" + svg])
        self.assertFalse(harness.png_is_blank(png))
        self.assert_zooms_to_the_slow_frame(svg)

    def assert_zooms_to_the_slow_frame(self, svg):
        """The picture's script, run by the browser on "#zoom=N&search=F": the slow rank's
        frame fills the width, painted as the one match, and no frame of the other ranks
        shows."""
        titles = [g.find(harness.SVG + "title").text
                  for g in harness.ElementTree.parse(svg).getroot().iter(harness.SVG + "g")]
        index = next(i for i, t in enumerate(titles) if t.startswith(TorchJob.SLOW_FUNCTION))
        dom = harness.chromium(["--dump-dom", "file://%s#zoom=%d&search=%s"
                                % (svg, index, TorchJob.SLOW_FUNCTION)])
        shown = [re.sub("<title>.*?</title>", "", g, flags=re.S)
                 for g in re.findall(r'<g [^>]*display="inline"[^>]*>(.*?)</g>', dom, re.S)]
        [slow] = [g for g in shown if "[rank 3] " + TorchJob.SLOW_FUNCTION in g]
        self.assertIn('x="10.0" y=', slow)
        self.assertIn('width="1200.00" height="15" fill="#e040e0"', slow)
        self.assertIn(">Search: 1 matching \u00d7</text>", dom)
        self.assertEqual([g for g in shown if "ranks 0-2" in g], [])
        self.assertIn('id="unzoom" class="u" x="10" y="22" display="inline"', dom)

    def test_group_dump_without_the_screen(self):
        text = run("dump", "--group", self.group["key"])
        self.assertEqual(text.returncode, 0, text.stderr)
        lines = text.stdout.splitlines()
        self.assertEqual(lines[0], "Stacks compared: 4 processes, 2 distinct")
        self.assert_names_slow_rank_alone(bucket_headers(lines), "rank 3 (pid %d)" % self.slow_pid)

        dumped = run("dump", "--group", self.group["key"], "--json", "--host", "node7")
        self.assertEqual(dumped.returncode, 0, dumped.stderr)
        for line in map(json.loads, dumped.stdout.splitlines()):
            self.assertEqual((line["status"], line["world_size"]), ("Success", 4))
            innermost = line["threads"][0]["frames"][0]
            self.assertEqual(innermost["function"], self.job.function_of(line["rank"]), line)
        compared = run("compare", "--json", stdin_text=dumped.stdout)
        self.assertEqual(compared.returncode, 0, compared.stderr)
        doc = json.loads(compared.stdout)
        self.assertEqual((doc["processes"], doc["distinct"], doc["failed"]), (4, 2, 0))
        slow, rest = doc["buckets"]
        self.assertEqual([(m["host"], m["rank"]) for m in slow["members"]], [("node7", 3)])
        self.assertEqual(slow["threads"][0]["frames"][0]["function"], TorchJob.SLOW_FUNCTION)
        self.assertEqual(sorted(m["rank"] for m in rest["members"]), [0, 1, 2])
        cwd = tempfile.mkdtemp(prefix="stackpeek-torch-")
        self.addCleanup(shutil.rmtree, cwd, ignore_errors=True)
        svg = os.path.join(cwd, "stacks.svg")
        as_text = run("compare", "--svg", svg, stdin_text=dumped.stdout).stdout.splitlines()
        self.assert_names_slow_rank_alone(bucket_headers(as_text), "node7:3")
        self.assert_stacks_svg(svg, "node7:3", "node7:0-2")


if __name__ == "__main__":
    harness.main(real_py_spy=True)
