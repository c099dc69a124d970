#!/usr/bin/env python3
"""Makes docs/stacks.png: the stacks.svg of a real 4-rank torch job (gloo, CPU) in which rank 3
never leaves its data loader while ranks 0-2 wait for it in all_reduce, drawn by Chromium.

    /usr/bin/python3 scripts/stacks_picture.py [path/to/stackpeek] [output.png]

Defaults: build/release/stackpeek and docs/stacks.png. It starts the job as the end-to-end
tests do (tests/e2e/harness.py, with the real py-spy they find), runs
`stackpeek dump --group KEY --svg FILE`, and has headless Chromium take the picture. Needs the
Debian packages chromium and python3-torch, and a built stackpeek. It installs nothing itself.
"""

import json
import os
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import harness  # noqa: E402  (the workloads of the end-to-end tests)

CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                  "--no-first-run", "--disable-background-networking",
                  "--disable-component-update", "--disable-sync", "--hide-scrollbars"]


def group_of(binary, pids, env):
    listed = json.loads(subprocess.run([binary, "list", "--json"], capture_output=True,
                                       text=True, env=env, timeout=60, check=True).stdout)
    for group in listed["groups"]:
        if sorted(pids) == sorted(m["pid"] for m in group["members"]):
            return group["key"]
    raise SystemExit("no group holds the ranks %s" % pids)


def svg_size(path):
    with open(path) as f:
        head = f.read(4096)
    width = int(head.split('width="', 1)[1].split('"', 1)[0])
    height = int(head.split('height="', 1)[1].split('"', 1)[0])
    return width, height


def chromium(args, cwd):
    """Runs headless Chromium with a profile of its own; returns its standard output."""
    with tempfile.TemporaryDirectory(prefix="stackpeek-chromium-") as profile:
        return subprocess.run(["chromium", *CHROMIUM_FLAGS, "--user-data-dir=" + profile, *args],
                              capture_output=True, text=True, timeout=120, cwd=cwd,
                              stdin=subprocess.DEVNULL).stdout


def screenshot(svg, png):
    width, height = svg_size(svg)
    chromium(["--window-size=%d,%d" % (width, height), "--screenshot=" + os.path.abspath(png),
              "file://" + os.path.abspath(svg)], os.path.dirname(os.path.abspath(png)))


def main():
    binary = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else
                             os.path.join(ROOT, "build", "release", "stackpeek"))
    output = sys.argv[2] if len(sys.argv) > 2 else os.path.join(ROOT, "docs", "stacks.png")
    harness.BINARY = binary
    env = harness.real_env()
    job = harness.TorchJob("train")
    try:
        key = group_of(binary, job.ranks, env)
        with tempfile.TemporaryDirectory(prefix="stackpeek-picture-") as folder:
            svg = os.path.join(folder, "stacks.svg")
            subprocess.run([binary, "dump", "--group", key, "--svg", svg], env=env, check=True,
                           capture_output=True, timeout=120)
            screenshot(svg, output)
    finally:
        job.close()
    print(output)


if __name__ == "__main__":
    main()
