#!/usr/bin/env python3
"""The release's npm packages, installed as a wallet project installs them: npm, offline, into a
fresh project, which then imports velkor-dpapi and calls createClient() with no path.

The registry is stood in for by the project's "overrides", which point the client's optional
dependencies at the platform packages' tarballs, so that npm resolves them as it would from the
registry: installed as an optional dependency where the platform matches (--os=win32 --cpu=x64
here, on Linux, or the same in the project's .npmrc; --cpu=arm64 too), skipped where it does not.
The ARM64 release's package, @velkor-dpapi/win32-arm64, is that release's own tarball, which the
client must prefer on Windows on ARM64 (this Wine runs no ARM64 program: only what the client
checks and starts is seen); without it (a registry that lacks it), the x64 executable is
installed and run there.

The client pins each platform package's executable: the pins are those of the two tarballs, and
an installed executable that differs (a byte changed or appended, another program) is never
started, which a launcher that records each start before it runs Wine shows.

    npm_package.py --release-dir DIR --name RELEASE --version X.Y.Z --arm64-tarball PATH
                   [--runner wine] [--npm PATH] [--node PATH] [unittest arguments]
"""

import argparse
import hashlib
import json
import os
import shlex
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
from pe_image import RT_VERSION, PeImage, version_tree

RELEASE_DIR = NAME = VERSION = ARM64_TARBALL = None
RUNNER = []
NPM, NODE = "npm", "node"
PLATFORM_PACKAGE = "@velkor-dpapi/win32-x64"
ARM64_PACKAGE = "@velkor-dpapi/win32-arm64"

CLIENT_FILES = {"LICENSE", "README.md", "package.json", "index.js", "index.cjs", "index.d.ts",
                "index.d.cts", "builtins.cjs", "builtins.mjs", "checks.cjs", "errors.cjs",
                "hex.cjs", "integrity.cjs", "packaged.cjs", "pins.cjs", "reasons.cjs",
                "session.cjs", "tool.cjs"}
PLATFORM_FILES = {"LICENSE", "README.md", "package.json", "velkor-dpapi.exe",
                  "velkor-dpapi.cdx.json", "THIRD-PARTY-NOTICES.txt"}

# Imports the installed package, prints the executable it resolves, and round-trips a secret and
# the self-test through createClient() with no path, run through the launcher (wine) if any.
CONSUMER = """\
import { randomBytes } from "node:crypto";
import { createClient, packagedExecutable } from "velkor-dpapi";

const [launcher, platform] = [JSON.parse(process.argv[2]), process.argv[3]];
console.log(packagedExecutable(platform));
const dpapi = createClient({ platform, launcher });
await dpapi.selftest();
const secret = randomBytes(4096);
const blob = await dpapi.protect(secret);
const opened = await dpapi.unprotect(blob);
const same = opened.equals(secret) && !blob.includes(secret);
console.log(same ? "round trip ok" : "round trip FAILED");
"""

# One call of each kind through createClient() with no path: a one-shot call, a session's and a
# batch's, each outcome "ok" or the error's code and message.
EACH_CALL = """\
import { createClient } from "velkor-dpapi";

const [launcher, platform] = [JSON.parse(process.argv[2]), process.argv[3]];
const dpapi = createClient({ platform, launcher, timeoutMs: 300000 });
const outcome = (promise) => promise.then(() => "ok", (error) => `${error.code}: ${error.message}`);
console.log(await outcome(dpapi.protect(Uint8Array.of(1))));
const session = dpapi.session();
console.log(await outcome(session.protect(Uint8Array.of(1))));
await session.close();
const [item] = await dpapi.protectMany([Uint8Array.of(1)]);
console.log(item.status === "fulfilled" ? "ok" : `${item.reason.code}: ${item.reason.message}`);
"""

# Without the platform package: what createClient() says.
WITHOUT = """\
import { createClient } from "velkor-dpapi";

for (const call of [() => createClient(), () => createClient({ platform: "win32-x64" })]) {
  try {
    call();
    console.log("no error");
  } catch (error) {
    console.log(JSON.stringify([error.name, error.code, error.message]));
  }
}
"""


def tarball(name):
    return os.path.join(RELEASE_DIR, name)


def client_tarball():
    return tarball("velkor-dpapi-%s.tgz" % VERSION)


def platform_tarball():
    return tarball("velkor-dpapi-win32-x64-%s.tgz" % VERSION)


def released_exe():
    with zipfile.ZipFile(os.path.join(RELEASE_DIR, NAME + ".zip")) as archive:
        return archive.read(NAME + "/velkor-dpapi.exe")


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def tarball_exe(path):
    with tarfile.open(path) as archive:
        return archive.extractfile("package/velkor-dpapi.exe").read()


def client_pins(path):
    """The pins of a client tarball, as its pins.cjs gives them to Node."""
    with tempfile.TemporaryDirectory() as folder, tarfile.open(path) as archive:
        pins = os.path.join(folder, "pins.cjs")
        with open(pins, "wb") as stream:
            stream.write(archive.extractfile("package/pins.cjs").read())
        return json.loads(subprocess.run(
            [NODE, "-e", "process.stdout.write(JSON.stringify(require(process.argv[1])))", pins],
            capture_output=True, check=True).stdout)


def package_json(path):
    with tarfile.open(path) as archive:
        return json.load(archive.extractfile("package/package.json"))


def product_version(exe):
    """The ProductVersion string of the executable's version record."""
    (record,) = [data for (kind, _, _), data in PeImage(exe).resources().items()
                 if kind == RT_VERSION]
    _, _, children = version_tree(record)
    (string_file_info,) = [child for child in children if child[0] == "StringFileInfo"]
    (table,) = string_file_info[2]
    return {name: text for name, text, _ in table[2]}["ProductVersion"]


def environment():
    return dict(os.environ, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
                npm_config_update_notifier="false")


class NpmPackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="velkor-npm-")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def project(self, name, *npm_options, npmrc=None, arm64=True):
        """A fresh project with the client's and the platform packages' tarballs (the ARM64 one
        unless arm64 is false) and the .npmrc given, the client installed by npm, offline, with
        an empty cache of its own; returns its folder."""
        folder = os.path.join(self.root, name)
        os.makedirs(folder)
        for path in (client_tarball(), platform_tarball(), ARM64_TARBALL):
            shutil.copy(path, folder)
        overrides = {PLATFORM_PACKAGE: "file:" + os.path.basename(platform_tarball())}
        if arm64:
            overrides[ARM64_PACKAGE] = "file:" + os.path.basename(ARM64_TARBALL)
        with open(os.path.join(folder, "package.json"), "w") as stream:
            json.dump({"name": name, "private": True, "overrides": overrides}, stream)
        if npmrc is not None:
            with open(os.path.join(folder, ".npmrc"), "w") as stream:
                stream.write(npmrc)
        self.npm(folder, "install", *npm_options, "./" + os.path.basename(client_tarball()))
        return folder

    def npm(self, folder, command, *arguments):
        """npm, offline, with the project's own cache; returns its output."""
        process = subprocess.run(
            [NPM, command, "--offline",
             "--cache", os.path.join(self.root, os.path.basename(folder) + "-cache"),
             "--no-audit", "--no-fund", "--ignore-scripts", *arguments],
            cwd=folder, capture_output=True, text=True, env=environment(), timeout=600)
        self.assertEqual(process.returncode, 0, process.stdout + process.stderr)
        return process.stdout

    def installed(self, folder, package=PLATFORM_PACKAGE):
        """A platform package's executable in the project, or None."""
        path = os.path.join(folder, "node_modules", *package.split("/"), "velkor-dpapi.exe")
        return path if os.path.exists(path) else None

    def recording_launcher(self, folder, run=True):
        """A launcher that records each start in the project's runs file, then runs the rest of
        its command line through the runner (Wine), or with run false exits 9; returns it and a
        reader of its records."""
        runs = os.path.join(folder, "runs")
        launcher = os.path.join(folder, "launcher.sh")
        then = "exec %s\"$@\"" % "".join(shlex.quote(part) + " " for part in RUNNER)
        with open(launcher, "w") as stream:
            stream.write("#!/bin/sh\nprintf '%%s\\n' \"$*\" >>%s\n%s\n" % (
                shlex.quote(runs), then if run else "exit 9"))
        os.chmod(launcher, 0o755)

        def starts():
            if not os.path.exists(runs):
                return []
            with open(runs) as stream:
                return stream.read().splitlines()
        return launcher, starts

    def run_node(self, folder, script, *arguments):
        path = os.path.join(folder, "consumer.mjs")
        with open(path, "w") as stream:
            stream.write(script)
        return subprocess.run([NODE, path, *arguments], cwd=folder, capture_output=True,
                              text=True, env=environment(), timeout=600)

    def test_tarballs_hold_their_files_and_one_version(self):
        for path, files in ((client_tarball(), CLIENT_FILES), (platform_tarball(), PLATFORM_FILES)):
            with tarfile.open(path) as archive:
                self.assertEqual(set(archive.getnames()), {"package/" + name for name in files})
        client, platform = package_json(client_tarball()), package_json(platform_tarball())
        self.assertEqual((client["name"], client["version"], client["optionalDependencies"]),
                         ("velkor-dpapi", VERSION, {ARM64_PACKAGE: VERSION,
                                                    PLATFORM_PACKAGE: VERSION}))
        self.assertNotIn("dependencies", client)
        self.assertEqual((platform["name"], platform["version"], platform["os"], platform["cpu"],
                          platform["license"]),
                         (PLATFORM_PACKAGE, VERSION, ["win32"], ["x64", "arm64"], "MIT"))
        exe = tarball_exe(platform_tarball())
        self.assertEqual(sha256(exe), sha256(released_exe()))
        self.assertEqual(product_version(exe), VERSION, "the executable's version resource")

    def test_the_client_pins_the_executable_of_every_platform_package_it_lists(self):
        self.assertEqual(package_json(ARM64_TARBALL)["name"], ARM64_PACKAGE)
        pinned = {PLATFORM_PACKAGE: sha256(tarball_exe(platform_tarball())),
                  ARM64_PACKAGE: sha256(tarball_exe(ARM64_TARBALL))}
        self.assertEqual(set(package_json(client_tarball())["optionalDependencies"]), set(pinned))
        self.assertEqual(client_pins(client_tarball()), pinned)
        self.assertNotEqual(pinned[PLATFORM_PACKAGE], pinned[ARM64_PACKAGE])

    def test_installed_for_windows_runs_the_released_executable(self):
        folder = self.project("wallet", "--os=win32", "--cpu=x64")
        installed = os.path.join(folder, "node_modules", *PLATFORM_PACKAGE.split("/"),
                                 "velkor-dpapi.exe")
        process = self.run_node(folder, CONSUMER, json.dumps(RUNNER), "win32-x64")
        self.assertEqual((process.stdout, process.stderr, process.returncode),
                         (installed + "\nround trip ok\n", "", 0))
        with open(installed, "rb") as stream:
            self.assertEqual(sha256(stream.read()), sha256(released_exe()))
        with open(os.path.join(folder, "package-lock.json")) as stream:
            lock = json.load(stream)["packages"]
        self.assertEqual(
            {key: (entry["version"], entry.get("optional")) for key, entry in lock.items()
             if key.startswith("node_modules/")},
            {"node_modules/velkor-dpapi": (VERSION, None),
             "node_modules/" + PLATFORM_PACKAGE: (VERSION, True),
             "node_modules/" + ARM64_PACKAGE: (VERSION, True)})
        self.assertIsNone(self.installed(folder, ARM64_PACKAGE))

    def test_on_windows_on_arm64_the_native_executable_is_chosen(self):
        folder = self.project("wallet-arm64", "--os=win32", "--cpu=arm64")
        native, x64 = self.installed(folder, ARM64_PACKAGE), self.installed(folder)
        self.assertIsNotNone(native)
        self.assertIsNotNone(x64)
        with open(native, "rb") as stream:
            self.assertEqual(stream.read(), tarball_exe(ARM64_TARBALL))
        process = self.run_node(folder, 'import { packagedExecutable } from "velkor-dpapi";\n'
                                        'console.log(packagedExecutable("win32-arm64"));\n')
        self.assertEqual((process.stdout, process.stderr, process.returncode),
                         (native + "\n", "", 0))
        # Its pin checked: the genuine file is started (this Wine runs no ARM64 program: only the
        # start is seen), the x64 one in its place never is, pinned as it is for its own package.
        launcher, starts = self.recording_launcher(folder, run=False)
        process = self.run_node(folder, EACH_CALL, json.dumps([launcher]), "win32-arm64")
        self.assertEqual((process.stdout.count("PROTOCOL"), process.stderr, process.returncode),
                         (3, "", 0), process.stdout)
        self.assertEqual(starts(), [native + " protect", native + " session", native + " session"])
        shutil.copy(x64, native)
        process = self.run_node(folder, EACH_CALL, json.dumps([launcher]), "win32-arm64")
        self.assertEqual((process.stdout, process.stderr, process.returncode),
                         (self.refused(native, ARM64_TARBALL), "", 0))
        self.assertEqual(len(starts()), 3)

    def refused(self, file, tarball):
        """What EACH_CALL prints for an executable that is not the one pinned for the package in
        the tarball."""
        with open(file, "rb") as stream:
            actual = sha256(stream.read())
        expected = sha256(tarball_exe(tarball))
        return "".join(
            "INTEGRITY: velkor-dpapi protect: not started: %s is not the executable this client "
            "may run (its SHA-256 begins %s, the pinned one %s)\n" % (
                file, actual[:16], expected[:16]) for _ in range(3))

    def test_an_installed_executable_that_differs_is_never_started(self):
        folder = self.project("wallet-tampered", "--os=win32", "--cpu=x64")
        installed = self.installed(folder)
        launcher, starts = self.recording_launcher(folder)
        process = self.run_node(folder, EACH_CALL, json.dumps([launcher]), "win32-x64")
        self.assertEqual((process.stdout, process.stderr, process.returncode),
                         ("ok\nok\nok\n", "", 0))
        self.assertEqual(starts(),
                         [installed + " protect", installed + " session", installed + " session"])
        released = released_exe()
        changed = bytearray(released)
        changed[len(changed) // 2] ^= 0x01
        for way, content in (("one byte changed", bytes(changed)),
                             ("one byte appended", released + b"\0"),
                             ("another program in its place", tarball_exe(ARM64_TARBALL))):
            with self.subTest(way):
                with open(installed, "wb") as stream:
                    stream.write(content)
                process = self.run_node(folder, EACH_CALL, json.dumps([launcher]), "win32-x64")
                self.assertEqual((process.stdout, process.stderr, process.returncode),
                                 (self.refused(installed, platform_tarball()), "", 0))
                self.assertEqual(len(starts()), 3, "started")

    def test_on_windows_on_arm64_without_the_native_package_the_x64_one_is_run(self):
        folder = self.project("wallet-arm64-x64", "--os=win32", "--cpu=arm64", arm64=False)
        installed = self.installed(folder)
        self.assertIsNotNone(installed)
        self.assertIsNone(self.installed(folder, ARM64_PACKAGE))
        process = self.run_node(folder, CONSUMER, json.dumps(RUNNER), "win32-arm64")
        self.assertEqual((process.stdout, process.stderr, process.returncode),
                         (installed + "\nround trip ok\n", "", 0))
        # Checked against the x64 pin there too.
        with open(installed, "ab") as stream:
            stream.write(b"\0")
        launcher, starts = self.recording_launcher(folder)
        process = self.run_node(folder, EACH_CALL, json.dumps([launcher]), "win32-arm64")
        self.assertEqual((process.stdout, process.stderr, process.returncode),
                         (self.refused(installed, platform_tarball()), "", 0))
        self.assertEqual(starts(), [])

    def test_a_project_npmrc_keeps_the_platform_package_through_install_and_ci(self):
        folder = self.project("built-elsewhere", npmrc="os=win32\ncpu=x64\n")
        installed = self.installed(folder)
        self.assertIsNotNone(installed)
        for command in ("install", "ci", "install"):
            self.npm(folder, command)
            self.assertEqual(self.installed(folder), installed, "after npm " + command)
        with open(installed, "rb") as stream:
            self.assertEqual(sha256(stream.read()), sha256(released_exe()))
        process = self.run_node(folder, 'import { packagedExecutable } from "velkor-dpapi";\n'
                                        'console.log(packagedExecutable("win32-x64"));\n')
        self.assertEqual((process.stdout, process.stderr, process.returncode),
                         (installed + "\n", "", 0))
        # The same options given once on the command line are undone by the next install.
        flags = self.project("built-elsewhere-once", "--os=win32", "--cpu=x64")
        self.assertIsNotNone(self.installed(flags))
        self.npm(flags, "install")
        self.assertIsNone(self.installed(flags))

    def test_elsewhere_the_platform_package_is_skipped_and_the_client_says_so(self):
        folder = self.project("elsewhere")  # this machine's own platform: Linux
        self.assertFalse(os.path.exists(os.path.join(folder, "node_modules", "@velkor-dpapi")))
        process = self.run_node(folder, WITHOUT)
        self.assertEqual((process.stderr, process.returncode), ("", 0))
        here = subprocess.run([NODE, "-p", "process.platform + '-' + process.arch"],
                              capture_output=True, text=True, check=True).stdout.strip()
        self.assertEqual([json.loads(line) for line in process.stdout.splitlines()], [
            ["VelkorDpapiError", "NO_EXECUTABLE",
             "velkor-dpapi: no packaged executable for %s (only Windows x64 and ARM64, win32-x64 "
             "and win32-arm64, have one): pass the executable's absolute path to createClient()"
             % here],
            ["VelkorDpapiError", "NO_EXECUTABLE",
             "velkor-dpapi: the packaged executable for win32-x64 is not installed (the optional "
             "dependency @velkor-dpapi/win32-x64 is missing: install without omitting optional "
             "dependencies), or pass the executable's absolute path to createClient()"],
        ])


def main():
    global RELEASE_DIR, NAME, VERSION, ARM64_TARBALL, RUNNER, NPM, NODE
    parser = argparse.ArgumentParser()
    parser.add_argument("--release-dir", required=True)
    parser.add_argument("--arm64-tarball", required=True)
    parser.add_argument("--name", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--runner", action="append", default=[])
    parser.add_argument("--npm", default="npm")
    parser.add_argument("--node", default="node")
    args, rest = parser.parse_known_args()
    RELEASE_DIR, NAME, VERSION = os.path.abspath(args.release_dir), args.name, args.version
    ARM64_TARBALL = os.path.abspath(args.arm64_tarball)
    RUNNER, NPM, NODE = args.runner, args.npm, args.node
    if RUNNER:
        wine_session.start(RUNNER)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
