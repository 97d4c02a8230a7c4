#!/usr/bin/env python3
"""Installs the tools some tests fetch from the npm registry (tests/npm-tools: TypeScript, esbuild,
Node's types, CycloneDX's validator), at the versions its lock file pins, into a folder of the
build tree, with npm's cache beside them. Installs again only when the lock file changed.

    npm_tools.py --into DIR [--npm PATH]
"""

import argparse
import os
import shutil
import subprocess
import sys

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "npm-tools")
FILES = ("package.json", "package-lock.json")


def read(path):
    try:
        with open(path, "rb") as stream:
            return stream.read()
    except FileNotFoundError:
        return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--into", required=True)
    parser.add_argument("--npm", default="npm")
    args = parser.parse_args()
    target = os.path.abspath(args.into)
    stamp = os.path.join(target, "installed-lock.json")
    lock = read(os.path.join(SOURCE, "package-lock.json"))
    if read(stamp) == lock and os.path.isdir(os.path.join(target, "node_modules")):
        print("npm tools already installed in", target)
        return 0
    os.makedirs(target, exist_ok=True)
    for name in FILES:
        shutil.copyfile(os.path.join(SOURCE, name), os.path.join(target, name))
    if os.path.exists(stamp):
        os.remove(stamp)
    process = subprocess.run(
        [args.npm, "ci", "--ignore-scripts", "--no-audit", "--no-fund",
         "--cache", os.path.join(target, "cache")], cwd=target)
    if process.returncode != 0:
        print("npm ci failed: the tools could not be installed from the npm registry",
              file=sys.stderr)
        return 1
    with open(stamp, "wb") as stream:
        stream.write(lock)
    print("npm tools installed in", target)
    return 0


if __name__ == "__main__":
    sys.exit(main())
