#!/usr/bin/env python3
"""The client package's declarations, as a TypeScript wallet sees them: the packed tarball
installed into a fresh project's node_modules, and consumers of it (an ES module, and a CommonJS
one with a require-style import) type-checked with `tsc --strict --noEmit` (TypeScript and Node's
types from the npm registry, at the versions tests/npm-tools pins, never a dependency of the
package), the declaration file itself included.

    typescript_check.py --client-tarball PATH --tools DIR [--node PATH] [unittest arguments]
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

HERE = os.path.dirname(os.path.abspath(__file__))
TYPES = os.path.join(HERE, "..", "..", "clients", "node", "test", "types")
CONSUMER = os.path.join(TYPES, "consumer.ts")
COMMONJS_CONSUMER = os.path.join(TYPES, "consumer.cts")
TARBALL = TOOLS = None
NODE = "node"

TSCONFIG = {
    "compilerOptions": {
        "strict": True,
        "noEmit": True,
        "skipLibCheck": False,
        "module": "nodenext",
        "moduleResolution": "nodenext",
        "target": "es2022",
        "types": ["node"],
    },
}


class TypeScriptTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.project = tempfile.mkdtemp(prefix="velkor-typescript-")
        modules = os.path.join(cls.project, "node_modules")
        with tarfile.open(TARBALL) as archive:
            # Only the package's own files, where Python can check that (3.11.4 and later).
            safe = {"filter": "data"} if hasattr(tarfile, "data_filter") else {}
            archive.extractall(cls.project, **safe)
        os.makedirs(os.path.join(modules, "@types"))
        shutil.move(os.path.join(cls.project, "package"), os.path.join(modules, "velkor-dpapi"))
        shutil.copytree(os.path.join(TOOLS, "node_modules", "@types", "node"),
                        os.path.join(modules, "@types", "node"))
        shutil.copytree(os.path.join(TOOLS, "node_modules", "undici-types"),
                        os.path.join(modules, "undici-types"))
        with open(os.path.join(cls.project, "package.json"), "w") as stream:
            json.dump({"name": "wallet", "private": True, "type": "module"}, stream)
        with open(os.path.join(cls.project, "tsconfig.json"), "w") as stream:
            json.dump(TSCONFIG, stream)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.project, ignore_errors=True)

    def check(self, name, source, declarations="index.d.ts"):
        """tsc --strict --noEmit over the declarations and one consumer file."""
        with open(os.path.join(self.project, name), "w") as stream:
            stream.write(source)
        config = dict(TSCONFIG, files=[name, "node_modules/velkor-dpapi/" + declarations])
        with open(os.path.join(self.project, "tsconfig.json"), "w") as stream:
            json.dump(config, stream)
        return subprocess.run(
            [NODE, os.path.join(TOOLS, "node_modules", "typescript", "bin", "tsc"),
             "--project", self.project, "--strict", "--noEmit", "--pretty", "false"],
            cwd=self.project, capture_output=True, text=True, timeout=600)

    def test_the_consumer_type_checks(self):
        with open(CONSUMER) as stream:
            process = self.check("consumer.ts", stream.read())
        self.assertEqual((process.stdout, process.stderr, process.returncode), ("", "", 0))

    def test_a_commonjs_consumer_type_checks(self):
        with open(COMMONJS_CONSUMER) as stream:
            process = self.check("consumer.cts", stream.read(), "index.d.cts")
        self.assertEqual((process.stdout, process.stderr, process.returncode), ("", "", 0))

    def test_every_reason_the_client_gives_is_declared_and_no_other(self):
        # A switch with a case for each reason the client's table gives, and none left over.
        reasons = json.loads(subprocess.run(
            [NODE, "--input-type=module", "-e",
             "const { REASON_NAMES } = await import(process.argv[1]);"
             "console.log(JSON.stringify(REASON_NAMES))",
             os.path.join(self.project, "node_modules", "velkor-dpapi", "reasons.cjs")],
            capture_output=True, text=True, check=True).stdout)
        self.assertIn("NTE_BAD_KEY_STATE", reasons)
        cases = "".join('    case "%s":\n' % reason for reason in reasons)
        source = ('import type { VelkorDpapiReason } from "velkor-dpapi";\n'
                  "export function all(reason: VelkorDpapiReason): number {\n"
                  "  switch (reason) {\n%s      return 1;\n"
                  "    default: {\n      const none: never = reason;\n      return none;\n"
                  "    }\n  }\n}\n" % cases)
        process = self.check("reasons.ts", source)
        self.assertEqual((process.stdout, process.stderr, process.returncode), ("", "", 0))

    def test_a_misuse_is_an_error(self):
        process = self.check("misuse.ts", 'import { createClient } from "velkor-dpapi";\n'
                                          "createClient(42);\n")
        self.assertEqual(process.returncode, 2)
        self.assertIn("misuse.ts(2,", process.stdout)
        self.assertIn("error TS2769: No overload matches this call.", process.stdout)


def main():
    global TARBALL, TOOLS, NODE
    parser = argparse.ArgumentParser()
    parser.add_argument("--client-tarball", required=True)
    parser.add_argument("--tools", required=True)
    parser.add_argument("--node", default="node")
    args, rest = parser.parse_known_args()
    TARBALL, TOOLS, NODE = (os.path.abspath(args.client_tarball), os.path.abspath(args.tools),
                            args.node)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
