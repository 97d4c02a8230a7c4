#!/usr/bin/env python3
"""The client package loaded in every way a wallet builds: the packed tarball installed by npm,
offline, into a fresh project, then required from a CommonJS consumer, imported from an ES
module consumer, both in one process (one VelkorDpapiError class), and each consumer bundled by
esbuild (at the version tests/npm-tools pins) into CommonJS and into an ES module, the bundles run
from a folder of their own. Every consumer runs a stand-in for the tool by its absolute path (a
small script that answers as the tool does), and says what createClient() with no path says.

    npm_loading.py --release-dir DIR --version X.Y.Z --tools DIR [--npm PATH] [--node PATH]
                   [unittest arguments]
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

RELEASE_DIR = VERSION = TOOLS = None
NPM, NODE = "npm", "node"
PLATFORM_PACKAGE = "@velkor-dpapi/win32-x64"

# Answers as the tool does: protect puts a 00 byte before the secret, unprotect takes it off,
# selftest prints ok; a blob that does not start with 00 fails as DPAPI does with error 13.
STAND_IN = """\
const command = process.argv[2];
const chunks = [];
process.stdin.on("data", (chunk) => chunks.push(chunk));
process.stdin.on("end", () => {
  const hex = Buffer.concat(chunks).toString("latin1").trim();
  if (command === "selftest") process.stdout.write("ok\\n");
  else if (command === "protect") process.stdout.write("00" + hex + "\\n");
  else if (hex.startsWith("00")) process.stdout.write(hex.slice(2) + "\\n");
  else {
    process.stderr.write("DPAPI unprotect failed (error 13)\\n");
    process.exitCode = 4;
  }
});
"""

# The same consumer either way it loads the package: a round trip and a failure through the
# stand-in, then createClient() with no path, for this platform and for Windows x64.
CONSUMER = """\
%s

async function main() {
  const dpapi = createClient(process.argv[2]);
  await dpapi.selftest();
  const secret = Buffer.from("velkor wallet key");
  const opened = await dpapi.unprotect(await dpapi.protect(secret));
  console.log(opened.equals(secret) ? "round trip ok" : "round trip FAILED");
  try {
    await dpapi.unprotect(Buffer.from([0xff]));
  } catch (error) {
    console.log(JSON.stringify([error instanceof VelkorDpapiError, error.code, error.reason]));
  }
  for (const options of [{}, { platform: "win32-x64" }]) {
    try {
      createClient(options);
    } catch (error) {
      console.log(JSON.stringify([error instanceof VelkorDpapiError, error.code, error.message]));
    }
  }
}

main().catch((error) => {
  console.error(error);
  process.exitCode = 1;
});
"""

REQUIRES = 'const { createClient, VelkorDpapiError } = require("velkor-dpapi");'
IMPORTS = 'import { createClient, VelkorDpapiError } from "velkor-dpapi";'

# Both ways in one process: the same objects, and an error from either is an instance of both.
BOTH = """\
import { createRequire } from "node:module";
import * as imported from "velkor-dpapi";

const required = createRequire(import.meta.url)("velkor-dpapi");
const tool = process.argv[2];
console.log(JSON.stringify(Object.keys(imported).map((name) => imported[name] === required[name])));
for (const [thrower, other] of [[required, imported], [imported, required]]) {
  try {
    await thrower.createClient(tool).unprotect(Buffer.from([0xff]));
  } catch (error) {
    console.log(JSON.stringify([error instanceof other.VelkorDpapiError, error.code]));
  }
}
"""


def environment():
    return dict(os.environ, npm_config_update_notifier="false")


def expected_output(here, bundled):
    windows = (
        "velkor-dpapi: the client was bundled (its code is not in the velkor-dpapi package's "
        "packaged.cjs), so the packaged executable cannot be found from it: pass the "
        "executable's absolute path to createClient(), or leave velkor-dpapi out of the bundle "
        "(external) and ship its node_modules folder" if bundled else
        "velkor-dpapi: the packaged executable for win32-x64 is not installed (the optional "
        "dependency @velkor-dpapi/win32-x64 is missing: install without omitting optional "
        "dependencies), or pass the executable's absolute path to createClient()")
    return "".join(line + "\n" for line in [
        "round trip ok",
        json.dumps([True, "DPAPI_FAILED", "ERROR_INVALID_DATA"], separators=(",", ":")),
        json.dumps([True, "NO_EXECUTABLE",
                    "velkor-dpapi: no packaged executable for %s (only Windows x64 and ARM64, "
                    "win32-x64 and win32-arm64, have one): pass the executable's absolute path "
                    "to createClient()" % here], separators=(",", ":")),
        json.dumps([True, "NO_EXECUTABLE", windows], separators=(",", ":")),
    ])


class LoadingTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="velkor-loading-")
        cls.project = os.path.join(cls.root, "wallet")
        os.makedirs(cls.project)
        client = os.path.join(RELEASE_DIR, "velkor-dpapi-%s.tgz" % VERSION)
        platform = os.path.join(RELEASE_DIR, "velkor-dpapi-win32-x64-%s.tgz" % VERSION)
        for path in (client, platform):
            shutil.copy(path, cls.project)
        with open(os.path.join(cls.project, "package.json"), "w") as stream:
            json.dump({"name": "wallet", "private": True, "overrides": {
                PLATFORM_PACKAGE: "file:" + os.path.basename(platform)}}, stream)
        subprocess.run(
            [NPM, "install", "--offline", "--cache", os.path.join(cls.root, "cache"),
             "--no-audit", "--no-fund", "--ignore-scripts", "./" + os.path.basename(client)],
            cwd=cls.project, capture_output=True, text=True, env=environment(), timeout=600,
            check=True)
        cls.tool = os.path.join(cls.root, "velkor-dpapi")
        with open(cls.tool, "w") as stream:
            stream.write("#!%s\n%s" % (shutil.which(NODE) or NODE, STAND_IN))
        os.chmod(cls.tool, 0o755)
        cls.dist = os.path.join(cls.root, "dist")
        os.makedirs(cls.dist)
        cls.here = subprocess.run([NODE, "-p", "process.platform + '-' + process.arch"],
                                  capture_output=True, text=True, check=True).stdout.strip()
        for name, header in (("consumer.cjs", REQUIRES), ("consumer.mjs", IMPORTS)):
            cls.write(name, CONSUMER % header)
        cls.write("both.mjs", BOTH)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    @classmethod
    def write(cls, name, text):
        with open(os.path.join(cls.project, name), "w") as stream:
            stream.write(text)

    def run_node(self, script):
        return subprocess.run([NODE, script, self.tool], cwd=self.root, capture_output=True,
                              text=True, env=environment(), timeout=600)

    def bundle(self, source, form):
        """esbuild's bundle of a consumer for Node, in a folder away from node_modules."""
        out = os.path.join(self.dist, "%s-%s.%s" % (source.replace(".", "-"), form,
                                                    "cjs" if form == "cjs" else "mjs"))
        process = subprocess.run(
            [NODE, os.path.join(TOOLS, "node_modules", "esbuild", "bin", "esbuild"), source,
             "--bundle", "--platform=node", "--format=" + form, "--log-level=warning",
             "--outfile=" + out],
            cwd=self.project, capture_output=True, text=True, timeout=600)
        self.assertEqual((process.stdout, process.stderr, process.returncode), ("", "", 0))
        return out

    def test_required_and_imported(self):
        for name in ("consumer.cjs", "consumer.mjs"):
            with self.subTest(name):
                process = self.run_node(os.path.join(self.project, name))
                self.assertEqual((process.stdout, process.stderr, process.returncode),
                                 (expected_output(self.here, False), "", 0))

    def test_one_error_class_whichever_way_it_loaded(self):
        process = self.run_node(os.path.join(self.project, "both.mjs"))
        self.assertEqual((process.stdout, process.stderr, process.returncode), (
            '[true,true,true,true]\n[true,"DPAPI_FAILED"]\n[true,"DPAPI_FAILED"]\n', "", 0))

    def test_bundled_into_commonjs_and_es_modules(self):
        for source in ("consumer.cjs", "consumer.mjs"):
            for form in ("cjs", "esm"):
                with self.subTest(source=source, form=form):
                    process = self.run_node(self.bundle(source, form))
                    self.assertEqual((process.stdout, process.stderr, process.returncode),
                                     (expected_output(self.here, True), "", 0))


def main():
    global RELEASE_DIR, VERSION, TOOLS, NPM, NODE
    parser = argparse.ArgumentParser()
    parser.add_argument("--release-dir", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--tools", required=True)
    parser.add_argument("--npm", default="npm")
    parser.add_argument("--node", default="node")
    args, rest = parser.parse_known_args()
    RELEASE_DIR, VERSION, TOOLS = (os.path.abspath(args.release_dir), args.version,
                                   os.path.abspath(args.tools))
    NPM, NODE = args.npm, args.node
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
