#!/usr/bin/env python3
"""The client package loaded in every way a wallet builds, on every Node.js line a wallet's
Electron may carry: the packed tarball (the release's, or one packed here from the source tree)
installed by npm, offline, into a fresh project, then required from a CommonJS consumer, imported
from an ES module consumer, both in one process (one VelkorDpapiError class), and each consumer
bundled as Electron apps bundle their main process: by esbuild into CommonJS and into an ES
module, by webpack 5 for `target: "electron-main"` (Electron Forge's webpack template), and by
Vite as a server-side build to CommonJS (electron-vite's and Forge's Vite template); the bundles
run from a folder of their own. The bundlers run on this machine's Node.js, at the versions
tests/release/npm-tools pins; every consumer and bundle then runs on each Node.js given, with the
built tool by its absolute path: the self-test, a round trip one-shot and through a session, a
refused blob, and what createClient() with no path says. On each Node.js the client must also
read the tool's answers into buffers of its own (Node's user-buffer reads, an internal API).

    npm_loading.py (--client-tarball FILE | --client-source DIR) --tool PATH --tools DIR
                   [--run-on NAME=NODE ...] [--npm PATH] [--node PATH] [unittest arguments]
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

CLIENT_TARBALL = CLIENT_SOURCE = TOOL = TOOLS = None
RUNTIMES = {}
NPM, NODE = "npm", "node"

# The same consumer either way it loads the package: the self-test, a round trip one-shot and
# through a session, a refused blob, then createClient() with no path, for this platform and for
# Windows x64.
CONSUMER = """\
%s

async function main() {
  const dpapi = createClient(process.argv[2]);
  await dpapi.selftest();
  const secret = Buffer.from("velkor wallet key");
  const opened = await dpapi.unprotect(await dpapi.protect(secret));
  const session = dpapi.session();
  const reopened = await session.unprotect(await session.protect(secret));
  await session.close();
  const same = opened.equals(secret) && reopened.equals(secret);
  console.log(same ? "round trip ok" : "round trip FAILED");
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

# The tool's answers read into the client's own buffers, not Node's (which are freed unwiped):
# the buffers the client gives the pipes of a one-shot call's child and a session's.
READS = """\
import childProcess from "node:child_process";
import { createClient } from "velkor-dpapi";

const spawn = childProcess.spawn;
let [spawns, userBuffers] = [0, 0];
childProcess.spawn = (...args) => {
  const child = spawn(...args);
  spawns += 1;
  const handle = child.stdout._handle;
  const useUserBuffer = handle.useUserBuffer;
  handle.useUserBuffer = function (buffer) {
    userBuffers += 1;
    return useUserBuffer.call(this, buffer);
  };
  return child;
};
const dpapi = createClient(process.argv[2]);
await dpapi.protect(Buffer.of(1));
const session = dpapi.session();
await session.protect(Buffer.of(1));
await session.close();
console.log(JSON.stringify({ spawns, userBuffers }));
"""

# Bundles a consumer with webpack, as Electron Forge's webpack template builds a main process.
WEBPACK = """\
const [webpackPath, context, entry, outputPath, filename] = process.argv.slice(2);
require(webpackPath)({
  mode: "production", target: "electron-main", context, entry,
  output: { path: outputPath, filename },
}, (error, stats) => {
  if (error || stats.hasErrors() || stats.hasWarnings()) {
    console.error(error ?? stats.toString("errors-warnings"));
    process.exitCode = 1;
  }
});
"""

# Bundles a consumer with Vite as a server-side build to CommonJS, the client bundled in (as
# electron-vite and Forge's Vite template build a main process).
VITE = """\
import { pathToFileURL } from "node:url";

const [vitePath, root, entry, outDir, fileName] = process.argv.slice(2);
const { build } = await import(pathToFileURL(vitePath).href);
await build({
  root, configFile: false, logLevel: "warn",
  ssr: { noExternal: true },
  build: { ssr: entry, outDir, emptyOutDir: false, minify: false,
           rollupOptions: { output: { format: "cjs", entryFileNames: fileName } } },
});
"""


def environment(home):
    # The native tool keeps its key under HOME: one of the test's own.
    return dict(os.environ, npm_config_update_notifier="false", HOME=home)


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
        cls.home = os.path.join(cls.root, "home")
        os.makedirs(cls.home, mode=0o700)
        cls.project = os.path.join(cls.root, "wallet")
        os.makedirs(cls.project)
        client = CLIENT_TARBALL or cls.pack(CLIENT_SOURCE)
        shutil.copy(client, cls.project)
        with open(os.path.join(cls.project, "package.json"), "w") as stream:
            json.dump({"name": "wallet", "private": True}, stream)
        subprocess.run(
            [NPM, "install", "--offline", "--cache", os.path.join(cls.root, "cache"),
             "--no-audit", "--no-fund", "--ignore-scripts", "./" + os.path.basename(client)],
            cwd=cls.project, capture_output=True, text=True, env=environment(cls.home),
            timeout=600, check=True)
        cls.dist = os.path.join(cls.root, "dist")
        os.makedirs(cls.dist)
        for name, header in (("consumer.cjs", REQUIRES), ("consumer.mjs", IMPORTS)):
            cls.write(name, CONSUMER % header)
        cls.write("both.mjs", BOTH)
        cls.write("reads.mjs", READS)
        cls.write("webpack.cjs", WEBPACK)
        cls.write("vite.mjs", VITE)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    @classmethod
    def pack(cls, source):
        """The source tree's client, packed by npm as a wallet would get it (without pins)."""
        process = subprocess.run(
            [NPM, "pack", "--ignore-scripts", "--json", "--pack-destination", cls.root,
             "--cache", os.path.join(cls.root, "cache"), os.path.abspath(source)],
            cwd=cls.root, capture_output=True, text=True, env=environment(cls.root),
            timeout=600, check=True)
        return os.path.join(cls.root, json.loads(process.stdout)[0]["filename"])

    @classmethod
    def write(cls, name, text):
        with open(os.path.join(cls.project, name), "w") as stream:
            stream.write(text)

    def run_node(self, node, script):
        return subprocess.run([node, script, TOOL], cwd=self.root, capture_output=True,
                              text=True, env=environment(self.home), timeout=600)

    def on_each_node(self, script, expected, **label):
        for name, node in RUNTIMES.items():
            with self.subTest(node=name, **label):
                here = subprocess.run([node, "-p", "process.platform + '-' + process.arch"],
                                      capture_output=True, text=True, check=True).stdout.strip()
                process = self.run_node(node, script)
                self.assertEqual((process.stdout, process.stderr, process.returncode),
                                 (expected(here), "", 0))

    def build(self, *command):
        """Runs a bundler (on this machine's Node.js) in the project: it must say nothing."""
        process = subprocess.run(command, cwd=self.project, capture_output=True, text=True,
                                 timeout=600)
        self.assertEqual((process.stdout, process.stderr, process.returncode), ("", "", 0),
                         command)

    def bundles(self):
        """Every bundle of the two consumers, as [(bundler, source, file)]."""
        made = []
        tool = lambda *parts: os.path.join(TOOLS, "node_modules", *parts)
        for source in ("consumer.cjs", "consumer.mjs"):
            stem = source.replace(".", "-")
            for form in ("cjs", "esm"):
                out = os.path.join(self.dist, "%s-esbuild.%s" % (stem, "cjs" if form == "cjs"
                                                                 else "mjs"))
                self.build(NODE, tool("esbuild", "bin", "esbuild"), source, "--bundle",
                           "--platform=node", "--format=" + form, "--log-level=warning",
                           "--outfile=" + out)
                made.append(("esbuild " + form, source, out))
            name = "%s-webpack.cjs" % stem
            self.build(NODE, "webpack.cjs", tool("webpack"), self.project, "./" + source,
                       self.dist, name)
            made.append(("webpack electron-main", source, os.path.join(self.dist, name)))
            name = "%s-vite.cjs" % stem
            self.build(NODE, "vite.mjs", tool("vite", "dist", "node", "index.js"), self.project,
                       source, self.dist, name)
            made.append(("vite ssr cjs", source, os.path.join(self.dist, name)))
        return made

    def test_required_and_imported(self):
        for name in ("consumer.cjs", "consumer.mjs"):
            self.on_each_node(os.path.join(self.project, name),
                              lambda here: expected_output(here, False), consumer=name)

    def test_one_error_class_whichever_way_it_loaded(self):
        self.on_each_node(os.path.join(self.project, "both.mjs"), lambda here: (
            '[true,true,true,true]\n[true,"DPAPI_FAILED"]\n[true,"DPAPI_FAILED"]\n'))

    def test_the_answers_are_read_into_the_clients_own_buffers(self):
        self.on_each_node(os.path.join(self.project, "reads.mjs"),
                          lambda here: '{"spawns":2,"userBuffers":2}\n')

    def test_bundled(self):
        for bundler, source, bundle in self.bundles():
            self.on_each_node(bundle, lambda here: expected_output(here, True), bundler=bundler,
                              source=source)


def main():
    global CLIENT_TARBALL, CLIENT_SOURCE, TOOL, TOOLS, RUNTIMES, NPM, NODE
    parser = argparse.ArgumentParser()
    client = parser.add_mutually_exclusive_group(required=True)
    client.add_argument("--client-tarball")
    client.add_argument("--client-source")
    parser.add_argument("--tool", required=True)
    parser.add_argument("--tools", required=True)
    parser.add_argument("--run-on", action="append", default=[], metavar="NAME=NODE")
    parser.add_argument("--npm", default="npm")
    parser.add_argument("--node", default="node")
    args, rest = parser.parse_known_args()
    CLIENT_TARBALL = args.client_tarball and os.path.abspath(args.client_tarball)
    CLIENT_SOURCE, TOOL = args.client_source, os.path.abspath(args.tool)
    TOOLS, NPM, NODE = os.path.abspath(args.tools), args.npm, args.node
    RUNTIMES = dict(pair.split("=", 1) for pair in args.run_on) or {"node": NODE}
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
