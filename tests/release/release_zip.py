#!/usr/bin/env python3
"""The release zip as a user gets it: its checksum file, its contents, and the tool run from a
fresh folder it was unpacked into.

    release_zip.py --zip PATH [--sbom NAME] [--runner wine] [unittest arguments]

With --sbom, the zip also holds the software bill of materials by that name, and the
third-party notices of what is linked in, THIRD-PARTY-NOTICES.txt.
"""

import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

# The helpers that the black-box, release and docs tests share.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import wine_session

ZIP = None
SBOM = None
RUNNER = []


def environment():
    return dict(os.environ, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")


class ReleaseZipTest(unittest.TestCase):
    def setUp(self):
        self.folder = os.path.basename(ZIP)[:-len(".zip")]  # the zip's one top-level folder

    def test_checksum_file_names_the_zip_and_its_sha256(self):
        with open(ZIP, "rb") as stream:
            digest = hashlib.sha256(stream.read()).hexdigest()
        with open(ZIP + ".sha256", encoding="ascii") as stream:
            self.assertEqual(stream.read().split(), [digest, os.path.basename(ZIP)])

    def test_holds_the_tool_its_readme_and_its_licences(self):
        with zipfile.ZipFile(ZIP) as archive:
            files = {name for name in archive.namelist() if not name.endswith("/")}
        expected = ["velkor-dpapi.exe", "README.md", "LICENSE"] + (
            [SBOM, "THIRD-PARTY-NOTICES.txt"] if SBOM else [])
        self.assertEqual(files, {self.folder + "/" + name for name in expected})

    def test_the_readme_links_to_nothing_the_zip_lacks(self):
        with zipfile.ZipFile(ZIP) as archive:
            names = set(archive.namelist())
            readme = archive.read(self.folder + "/README.md").decode("utf-8")
        self.assertTrue(readme.startswith("# velkor-dpapi\n"))
        targets = re.findall(r"\]\(([^)\s]+)\)", readme)
        self.assertIn("LICENSE", targets)
        for target in targets:
            path = target.split("#")[0]
            if path and not re.match(r"https?://", path):
                self.assertIn(self.folder + "/" + path, names, target)

    def test_selftest_runs_from_the_unpacked_zip(self):
        target = tempfile.mkdtemp(prefix="velkor-release-")
        self.addCleanup(shutil.rmtree, target, ignore_errors=True)
        with zipfile.ZipFile(ZIP) as archive:
            archive.extractall(target)
        tool = os.path.join(target, self.folder, "velkor-dpapi.exe")
        process = subprocess.Popen(RUNNER + [tool, "selftest"], stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   cwd=target, env=environment())
        out, err = process.communicate(b"", timeout=300)
        self.assertEqual((out, err, process.returncode), (b"ok\r\n", b"", 0))


def main():
    global ZIP, SBOM, RUNNER
    parser = argparse.ArgumentParser()
    parser.add_argument("--zip", required=True)
    parser.add_argument("--sbom")
    parser.add_argument("--runner", action="append", default=[])
    args, rest = parser.parse_known_args()
    ZIP, SBOM, RUNNER = os.path.abspath(args.zip), args.sbom, args.runner
    if RUNNER:
        # The prefix made and Wine's services started first, so that neither its first-run notes
        # nor its services get in the way of the tool's streams.
        wine_session.start(RUNNER)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
