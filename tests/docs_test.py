#!/usr/bin/env python3
"""The documents say what works: every relative link in every Markdown file of the project leads
to a file (and heading) that exists, and the README's commands are the ones that work.

    docs_test.py --source DIR [--tool PATH [--runner "wine"]]

Without --tool only the links and the quick start are checked; with it, the README's usage block
and its POSIX shell example are run against that build of the tool.
"""

import argparse
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = None
TOOL = None
RUNNER = []

LINK = re.compile(r"!?\[[^\]]*\]\(([^)\s]+)(?:\s+\"[^\"]*\")?\)")
FENCE = re.compile(r"^```.*?^```", re.M | re.S)


def markdown_files():
    listed = subprocess.run(["git", "-C", SOURCE, "ls-files", "-z", "--", "*.md"],
                            capture_output=True, check=True).stdout
    return [name for name in listed.decode().split("\0") if name]


def read(name):
    with open(os.path.join(SOURCE, name), encoding="utf-8") as stream:
        return stream.read()


def anchors(text):
    # The anchors a hosting site gives headings: lower case, punctuation dropped, spaces to
    # hyphens, and a count after a repeated one.
    seen = {}
    for heading in re.findall(r"^#+ +(.+?) *$", FENCE.sub("", text), re.M):
        slug = re.sub(r"[^\w\- ]", "", heading.lower()).replace(" ", "-")
        count = seen.get(slug, 0)
        seen[slug] = count + 1
        yield slug if count == 0 else "%s-%d" % (slug, count)


def code_block(text, after):
    # The first fenced block after the line `after`.
    start = text.index(after)
    return re.search(r"^```[^\n]*\n(.*?)^```", text[start:], re.M | re.S).group(1)


class LinkTest(unittest.TestCase):
    def test_every_relative_link_resolves(self):
        broken = []
        for name in markdown_files():
            text = read(name)
            for target in LINK.findall(re.sub(r"`[^`\n]*`", "", FENCE.sub("", text))):
                if re.match(r"[a-z][a-z0-9+.-]*:", target):
                    continue  # a web address, not a file of the project's
                path, _, anchor = target.partition("#")
                resolved = (os.path.normpath(os.path.join(os.path.dirname(name), path))
                            if path else name)
                if not os.path.exists(os.path.join(SOURCE, resolved)):
                    broken.append("%s: %s (no such file)" % (name, target))
                elif anchor and (not resolved.endswith(".md") or
                                 anchor not in set(anchors(read(resolved)))):
                    broken.append("%s: %s (no such heading)" % (name, target))
        self.assertEqual(broken, [])


class QuickStartTest(unittest.TestCase):
    def test_the_quick_start_names_the_scripts_ci_runs(self):
        block = code_block(read("README.md"), "## Quick start")
        commands = [line.split("#")[0].strip() for line in block.splitlines()]
        self.assertEqual(commands, ["bash tools/quickstart.sh", "bash tools/test.sh"])
        for command in commands:
            self.assertTrue(os.path.isfile(os.path.join(SOURCE, command.split()[1])), command)
        self.assertRegex(read(".ci/run"), r"(?m)^bash tools/test\.sh$")


class UsageTest(unittest.TestCase):
    def setUp(self):
        if TOOL is None:
            self.skipTest("needs --tool")
        if sys.platform == "win32":
            self.skipTest("the example is for a POSIX shell")

    def run_shell(self, script):
        # As a reader would: the tool as ./velkor-dpapi in the current folder, a profile of its own.
        folder = tempfile.mkdtemp(prefix="velkor-docs-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        launcher = os.path.join(folder, "velkor-dpapi")
        with open(launcher, "w") as stream:
            stream.write("#!/bin/sh\nexec %s \"$@\"\n" % shlex.join(RUNNER + [TOOL]))
        os.chmod(launcher, 0o755)
        env = dict(os.environ, HOME=folder)
        env.pop("XDG_DATA_HOME", None)
        result = subprocess.run(["sh", "-c", script], cwd=folder, env=env, capture_output=True,
                                timeout=120)
        return result.stdout, result.stderr, result.returncode

    def test_the_usage_block_lists_the_commands_the_tool_takes(self):
        block = code_block(read("README.md"), "## Use")
        words = re.findall(r"^velkor-dpapi (\w+)", block, re.M)
        self.assertEqual(words, ["protect", "unprotect", "selftest"])
        out, err, status = self.run_shell("./velkor-dpapi")
        self.assertEqual((out, status), (b"", 2))
        self.assertEqual(err.rstrip(b"\r\n"),
                         b"usage: velkor-dpapi " + "|".join(words).encode())
        for word in words:
            with self.subTest(word):
                _, err, status = self.run_shell("./velkor-dpapi %s </dev/null" % word)
                self.assertNotEqual(status, 2, err)

    def test_the_posix_shell_example_round_trips(self):
        script = code_block(read("README.md"), "POSIX shell")
        out, err, status = self.run_shell(script)
        self.assertEqual((out.replace(b"\r\n", b"\n"), err, status), (b"76656c6b6f72\n", b"", 0))


def main():
    global SOURCE, TOOL, RUNNER
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--tool")
    parser.add_argument("--runner", default="")
    args, rest = parser.parse_known_args()
    SOURCE = os.path.abspath(args.source)
    TOOL = os.path.abspath(args.tool) if args.tool else None
    RUNNER = shlex.split(args.runner)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
