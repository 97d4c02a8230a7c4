#!/usr/bin/env python3
"""The ARM64 release's npm package, @velkor-dpapi/win32-arm64: its files, its package.json
("os": ["win32"], "cpu": ["arm64"]) and the zip's own executable in it; listed as an optional
dependency of a fresh project, installed by npm, offline, for Windows on ARM64, where the
repository's Node.js client runs the installed executable (through the runner, the ARM64 Wine);
skipped by npm for Windows x64 and for this machine.

    npm_platform_package.py --release-dir DIR --name RELEASE --version X.Y.Z --runner PATH
                            [--npm PATH] [--node PATH] [unittest arguments]
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest
import zipfile

# The helpers that the black-box, release and docs tests share.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import wine_session
from npm_package import environment, product_version, sha256

HERE = os.path.dirname(os.path.abspath(__file__))
CLIENT = os.path.join(os.path.dirname(os.path.dirname(HERE)), "clients", "node", "index.js")
RELEASE_DIR = NAME = VERSION = None
RUNNER = []
NPM, NODE = "npm", "node"
PACKAGE = "@velkor-dpapi/win32-arm64"
FILES = {"LICENSE", "README.md", "package.json", "velkor-dpapi.exe", "velkor-dpapi.cdx.json",
         "THIRD-PARTY-NOTICES.txt"}

# Round-trips a secret and the self-test through the client with the installed executable.
CONSUMER = """\
import { randomBytes } from "node:crypto";
import { createClient } from "%s";

const [executable, launcher] = [process.argv[2], JSON.parse(process.argv[3])];
const dpapi = createClient(executable, { launcher, timeoutMs: 300000 });
await dpapi.selftest();
const secret = randomBytes(4096);
const blob = await dpapi.protect(secret);
const opened = await dpapi.unprotect(blob);
console.log(opened.equals(secret) && !blob.includes(secret) ? "round trip ok" : "round trip FAILED");
""" % CLIENT


def tarball():
    return os.path.join(RELEASE_DIR, "velkor-dpapi-win32-arm64-%s.tgz" % VERSION)


def from_zip(name):
    with zipfile.ZipFile(os.path.join(RELEASE_DIR, NAME + ".zip")) as archive:
        return archive.read(NAME + "/" + name)


class NpmPlatformPackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="velkor-npm-arm64-")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def install(self, name, *npm_options):
        """A fresh project that lists the tarball under optionalDependencies, as the client lists
        its platform packages, installed by npm, offline, with an empty cache of its own; returns
        the project's folder."""
        folder = os.path.join(self.root, name)
        os.makedirs(folder)
        shutil.copy(tarball(), folder)
        with open(os.path.join(folder, "package.json"), "w") as stream:
            json.dump({"name": name, "private": True, "optionalDependencies": {
                PACKAGE: "file:" + os.path.basename(tarball())}}, stream)
        process = subprocess.run(
            [NPM, "install", "--offline", "--cache", os.path.join(self.root, name + "-cache"),
             "--no-audit", "--no-fund", "--ignore-scripts", *npm_options],
            cwd=folder, capture_output=True, text=True, env=environment(), timeout=600)
        self.assertEqual(process.returncode, 0, process.stdout + process.stderr)
        return folder

    def test_tarball_holds_its_files_and_the_released_executable(self):
        with tarfile.open(tarball()) as archive:
            self.assertEqual(set(archive.getnames()), {"package/" + name for name in FILES})
            package = json.load(archive.extractfile("package/package.json"))
            exe = archive.extractfile("package/velkor-dpapi.exe").read()
            sbom = archive.extractfile("package/velkor-dpapi.cdx.json").read()
            notices = archive.extractfile("package/THIRD-PARTY-NOTICES.txt").read()
        self.assertEqual((package["name"], package["version"], package["os"], package["cpu"],
                          package["license"]),
                         (PACKAGE, VERSION, ["win32"], ["arm64"], "MIT"))
        self.assertEqual(sha256(exe), sha256(from_zip("velkor-dpapi.exe")))
        self.assertEqual(sbom, from_zip("velkor-dpapi.cdx.json"))
        self.assertEqual(notices, from_zip("THIRD-PARTY-NOTICES.txt"))
        self.assertEqual(product_version(exe), VERSION, "the executable's version resource")

    def test_installed_for_windows_on_arm64_runs_through_the_client(self):
        folder = self.install("wallet", "--os=win32", "--cpu=arm64")
        installed = os.path.join(folder, "node_modules", *PACKAGE.split("/"), "velkor-dpapi.exe")
        with open(installed, "rb") as stream:
            self.assertEqual(sha256(stream.read()), sha256(from_zip("velkor-dpapi.exe")))
        script = os.path.join(folder, "consumer.mjs")
        with open(script, "w") as stream:
            stream.write(CONSUMER)
        process = subprocess.run([NODE, script, installed, json.dumps(RUNNER)], cwd=folder,
                                 capture_output=True, text=True, env=environment(), timeout=900)
        self.assertEqual((process.stdout, process.stderr, process.returncode),
                         ("round trip ok\n", "", 0))

    def test_skipped_for_windows_x64_and_here(self):
        for name, options in (("x64-wallet", ("--os=win32", "--cpu=x64")), ("here", ())):
            with self.subTest(project=name):
                folder = self.install(name, *options)
                self.assertFalse(
                    os.path.exists(os.path.join(folder, "node_modules", "@velkor-dpapi")))


def main():
    global RELEASE_DIR, NAME, VERSION, RUNNER, NPM, NODE
    parser = argparse.ArgumentParser()
    parser.add_argument("--release-dir", required=True)
    parser.add_argument("--name", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--runner", action="append", required=True)
    parser.add_argument("--npm", default="npm")
    parser.add_argument("--node", default="node")
    args, rest = parser.parse_known_args()
    RELEASE_DIR, NAME, VERSION = os.path.abspath(args.release_dir), args.name, args.version
    RUNNER, NPM, NODE = args.runner, args.npm, args.node
    wine_session.start(RUNNER)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
