"""Debian package: built by cpack from the build tree, its control fields, and what it installs."""

import glob
import gzip
import os
import re
import shutil
import subprocess
import tempfile
import unittest

import harness

MISSING_TOOLS = [tool for tool in ("cpack", "dpkg-deb", "dpkg") if shutil.which(tool) is None]


def build_dir_of(binary):
    """The build tree holding `binary`: the nearest folder upwards with a CPackConfig.cmake."""
    folder = os.path.dirname(os.path.abspath(binary))
    while True:
        if os.path.isfile(os.path.join(folder, "CPackConfig.cmake")):
            return folder
        parent = os.path.dirname(folder)
        if parent == folder:
            raise AssertionError("no CPackConfig.cmake above " + binary)
        folder = parent


def run(args, **kwargs):
    return subprocess.run(args, capture_output=True, timeout=60, **kwargs)


def help_keys(help_text):
    """(key, description) pairs of the key table in --help: a 12-column key, then the text."""
    lines = help_text.split("\n")
    table = lines[lines.index("Keys:") + 1:]
    table = table[:table.index("")]  # the key table ends at the first empty line
    return [(line[:12].rstrip(), line[12:]) for line in table if line]


def roff_text(line):
    """The words of one roff line without its macro name and font escapes."""
    line = re.sub(r"^\.(B|I|BR|IR|RB|IB)\s+", "", line)
    line = re.sub(r"\\f[BIRP]", "", line)
    return line.replace("\\-", "-").replace("\\(aq", "'").replace("\\&", "")


def manual_keys(roff):
    """(tag, description) pairs of the .TP entries in the KEYS section."""
    lines = roff.split("\n")
    section = lines[lines.index(".SH KEYS") + 1:]
    section = section[:next(i for i, l in enumerate(section) if l.startswith(".SH "))]
    pairs = []
    for i, line in enumerate(section):
        if line.startswith(".TP") and i + 2 < len(section):
            pairs.append((roff_text(section[i + 1]), roff_text(section[i + 2])))
    return pairs


@unittest.skipIf(MISSING_TOOLS, "missing " + " ".join(MISSING_TOOLS))
class DebianPackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="stackpeek-deb-")
        build = build_dir_of(harness.BINARY)
        made = run(["cpack", "-G", "DEB", "-B", cls.tmp,
                    "--config", os.path.join(build, "CPackConfig.cmake")])
        if made.returncode != 0:
            shutil.rmtree(cls.tmp)
            raise AssertionError("cpack failed:\n" + (made.stdout + made.stderr).decode())
        cls.debs = glob.glob(os.path.join(cls.tmp, "*.deb"))
        cls.root = os.path.join(cls.tmp, "root")
        if len(cls.debs) == 1:
            run(["dpkg-deb", "-x", cls.debs[0], cls.root]).check_returncode()
        version = run([harness.BINARY, "--version"]).stdout.decode()
        cls.version = version.removeprefix("stackpeek ").strip()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp)

    def deb(self):
        self.assertEqual(len(self.debs), 1, self.debs)
        return self.debs[0]

    def field(self, name):
        return run(["dpkg-deb", "-f", self.deb(), name]).stdout.decode().strip()

    def test_file_name_carries_version_and_architecture(self):
        arch = run(["dpkg", "--print-architecture"]).stdout.decode().strip()
        self.assertEqual(os.path.basename(self.deb()), "stackpeek_%s_%s.deb" % (self.version, arch))

    def test_control_fields(self):
        self.assertEqual(self.field("Package"), "stackpeek")
        self.assertEqual(self.field("Version"), self.version)
        self.assertTrue(self.field("Maintainer"))
        self.assertTrue(self.field("Description"))
        depends = [d.split()[0] for d in self.field("Depends").split(",")]
        for library in ("libncursesw6", "libutf8proc2", "libfmt9", "libsimdjson14"):
            self.assertIn(library, depends)
        self.assertEqual(self.field("Suggests"), "sudo")
        self.assertEqual(self.field("Recommends"), "")

    def test_unpacked_program_answers_like_the_built_one(self):
        program = os.path.join(self.root, "usr", "bin", "stackpeek")
        for flag in ("--version", "--help"):
            unpacked = run([program, flag], stdin=subprocess.DEVNULL)
            built = run([harness.BINARY, flag], stdin=subprocess.DEVNULL)
            self.assertEqual(unpacked.returncode, 0, unpacked.stderr)
            self.assertEqual(unpacked.stdout, built.stdout)

    def test_manual_page_matches_help(self):
        man1 = os.path.join(self.root, "usr", "share", "man", "man1")
        plain, packed = os.path.join(man1, "stackpeek.1"), os.path.join(man1, "stackpeek.1.gz")
        if os.path.exists(packed):
            roff = gzip.open(packed).read().decode()
        else:
            with open(plain) as f:
                roff = f.read()
        title = next(line for line in roff.split("\n") if line.startswith(".TH "))
        self.assertIn('"stackpeek %s"' % self.version, title)
        help_text = run([harness.BINARY, "--help"]).stdout.decode()
        keys = help_keys(help_text)
        self.assertEqual(len(keys), 18, help_text)
        self.assertEqual(manual_keys(roff), keys)


if __name__ == "__main__":
    harness.main()
