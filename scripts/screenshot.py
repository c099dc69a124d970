#!/usr/bin/env python3
"""Makes docs/screenshot.png: stackpeek at 120x40 over the demo workload, showing the stack
comparison of a dump of its torch job.

    /usr/bin/python3 scripts/screenshot.py [path/to/stackpeek] [output.png]

Defaults: build/release/stackpeek and docs/screenshot.png. It copies examples/demo.py into a
fresh folder under /tmp and starts it there, so that no path of the checkout shows in the
picture; runs stackpeek in a pseudo-terminal read through pyte, filters the list to the demo,
waits until its groups are listed, dumps the torch job's group with the real py-spy (found as
the end-to-end tests find it) and draws pyte's screen with its colours and bold into a PNG.

Needs the Debian packages python3-pexpect, python3-pyte, python3-pil and fonts-dejavu-core,
and a built stackpeek. It installs nothing itself.
"""

import os
import shutil
import signal
import sys
import tempfile
import time

from PIL import Image, ImageDraw, ImageFont

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import harness  # noqa: E402  (the pseudo-terminal driver of the end-to-end tests)

ROWS, COLS = 40, 120
FONT_DIR = "/usr/share/fonts/truetype/dejavu"
FONT_SIZE = 14
PADDING = 10
DEMO_GROUPS = ("[torch/ddp] 4 procs", "[process tree] 4 procs", "[runtime] 2 procs")

DEFAULT_FG = (208, 208, 208)
DEFAULT_BG = (24, 26, 31)
# pyte names the eight ANSI colours; it calls yellow "brown".
PALETTE = {
    "black": (0, 0, 0), "red": (205, 49, 49), "green": (13, 188, 121),
    "brown": (229, 229, 16), "yellow": (229, 229, 16), "blue": (36, 114, 200),
    "magenta": (188, 63, 188), "cyan": (17, 168, 205), "white": (229, 229, 229),
    "brightblack": (102, 102, 102), "brightred": (241, 76, 76), "brightgreen": (35, 209, 139),
    "brightbrown": (245, 245, 67), "brightyellow": (245, 245, 67),
    "brightblue": (59, 142, 234), "brightmagenta": (214, 112, 214),
    "brightcyan": (41, 184, 219), "brightwhite": (255, 255, 255),
}

# Box-drawing characters as the cell edges their strokes reach: up, down, left, right.
BOX = {"─": "lr", "│": "ud", "┌": "dr", "┐": "dl", "└": "ur", "┘": "ul",
       "├": "udr", "┤": "udl", "┬": "dlr", "┴": "ulr", "┼": "udlr"}


def colour(name, default):
    if name == "default":
        return default
    if name in PALETTE:
        return PALETTE[name]
    if len(name) == 6:  # 256-colour and true-colour cells come as hex
        return tuple(int(name[i:i + 2], 16) for i in (0, 2, 4))
    return default


def start_demo(folder):
    """Starts demo.py from `folder` in a session of its own, re-parented away from this script
    so that it is not grouped with it; returns its pid, which is also its process group."""
    read_end, write_end = os.pipe()
    child = os.fork()
    if child == 0:
        try:
            grandchild = os.fork()
            if grandchild == 0:
                os.setsid()
                os.chdir(folder)
                devnull = os.open(os.devnull, os.O_RDWR)
                for fd in (0, 1, 2):
                    os.dup2(devnull, fd)
                os.execv(harness.PYTHON, [harness.PYTHON, "demo.py"])
            os.write(write_end, str(grandchild).encode())
        finally:
            os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        pid = int(pipe.read())
    os.waitpid(child, 0)
    return pid


def alive(pid):
    """Whether `pid` runs; a zombie not reaped yet counts as ended."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] not in ("Z", "X")
    except (FileNotFoundError, IndexError):
        return False


def stop_demo(pid):
    try:
        os.killpg(pid, signal.SIGINT)
    except ProcessLookupError:
        return
    deadline = time.monotonic() + 10
    while alive(pid) and time.monotonic() < deadline:
        time.sleep(0.05)


def wait_for_demo_groups(term, timeout=30.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        term.send("r", settle=0.5)
        if all(group in term.text() for group in DEMO_GROUPS):
            return
    raise SystemExit("screenshot: the demo groups did not appear:\n" + term.text())


def name_strangers(term):
    """Names the list rows that belong neither to the demo nor to this script."""
    cells = [line.split("│")[1][2:] for line in term.screen.display if line.count("│") >= 2]
    strangers = [c.strip() for c in cells if c.startswith(("v ", "> ")) and "demo.py" not in c
                 and "screenshot.py" not in c]
    for row in strangers:
        print("screenshot: also listed: " + row, file=sys.stderr)


def draw_box(draw, char, x, y, w, h, fill):
    cx, cy = x + w // 2, y + h // 2
    for edge in BOX[char]:
        end = {"u": (cx, y), "d": (cx, y + h - 1), "l": (x, cy), "r": (x + w - 1, cy)}[edge]
        draw.line([(cx, cy), end], fill=fill, width=1)


def render(screen, path):
    regular = ImageFont.truetype(os.path.join(FONT_DIR, "DejaVuSansMono.ttf"), FONT_SIZE)
    bold = ImageFont.truetype(os.path.join(FONT_DIR, "DejaVuSansMono-Bold.ttf"), FONT_SIZE)
    ascent, descent = regular.getmetrics()
    cell_w, cell_h = round(regular.getlength("M")), ascent + descent
    image = Image.new("RGB", (COLS * cell_w + 2 * PADDING, ROWS * cell_h + 2 * PADDING),
                      DEFAULT_BG)
    draw = ImageDraw.Draw(image)
    for row in range(ROWS):
        line = screen.buffer[row]
        for col in range(COLS):
            cell = line[col]
            fg, bg = colour(cell.fg, DEFAULT_FG), colour(cell.bg, DEFAULT_BG)
            if cell.reverse:
                fg, bg = bg, fg
            x, y = PADDING + col * cell_w, PADDING + row * cell_h
            draw.rectangle([x, y, x + cell_w - 1, y + cell_h - 1], fill=bg)
            if cell.data in BOX:
                draw_box(draw, cell.data, x, y, cell_w, cell_h, fg)
            elif cell.data.strip():
                draw.text((x, y), cell.data, font=bold if cell.bold else regular, fill=fg)
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    image.save(path, optimize=True)


def main():
    binary = os.path.abspath(sys.argv[1] if len(sys.argv) > 1
                             else os.path.join(ROOT, "build", "release", "stackpeek"))
    output = sys.argv[2] if len(sys.argv) > 2 else os.path.join(ROOT, "docs", "screenshot.png")
    folder = tempfile.mkdtemp(prefix="stackpeek-demo-")
    shutil.copy(os.path.join(ROOT, "examples", "demo.py"), folder)
    demo = start_demo(folder)
    term = None
    try:
        # The real py-spy, not the tests' stand-in that the harness puts first on PATH.
        path = os.path.dirname(harness.REAL_PY_SPY) + ":/usr/local/bin:/usr/bin:/bin"
        term = harness.Term(binary, rows=ROWS, cols=COLS, cwd=folder, env={"PATH": path})
        term.wait_for("Python Processes")
        term.send("/")
        term.send("demo.py", settle=0.3)
        term.send(harness.KEY_ENTER)
        wait_for_demo_groups(term)
        name_strangers(term)
        term.select("[torch/ddp] 4 procs")
        term.send("d")
        term.wait_for("Stacks compared", timeout=30)
        term.wait_for("mode: browse", timeout=30)
        term.pump(0.5)
        render(term.screen, output)
        term.quit()
    finally:
        if term is not None:
            term.close()
        stop_demo(demo)
        shutil.rmtree(folder, ignore_errors=True)
    print("screenshot: wrote " + output)


if __name__ == "__main__":
    main()
