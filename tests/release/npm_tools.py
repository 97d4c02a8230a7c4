#!/usr/bin/env python3
"""Installs what some tests fetch from the npm registry, at the versions the lock files pin:
tests/release/npm-tools (TypeScript, esbuild, webpack, Vite, Node's types, CycloneDX's validator)
into a folder of the build tree, and with --node-builds, tests/release/npm-tools/node-builds (the
Node.js builds the client is tested on, some hundreds of megabytes) into a folder shared by every
build of the machine, made once. Each is installed again only when its lock file changed, under a
lock, so that two builds never install into one folder at once.

    npm_tools.py --into DIR [--node-builds DIR] [--npm PATH]
"""

import argparse
import fcntl
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


def install(source, target, npm, what):
    """npm ci of the source folder's package into target, with npm's cache beside it; False when
    npm failed."""
    os.makedirs(target, exist_ok=True)
    with open(os.path.join(target, ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        stamp = os.path.join(target, "installed-lock.json")
        pinned = read(os.path.join(source, "package-lock.json"))
        if read(stamp) == pinned and os.path.isdir(os.path.join(target, "node_modules")):
            print(what, "already installed in", target)
            return True
        for name in FILES:
            shutil.copyfile(os.path.join(source, name), os.path.join(target, name))
        if os.path.exists(stamp):
            os.remove(stamp)
        process = subprocess.run(
            [npm, "ci", "--ignore-scripts", "--no-audit", "--no-fund",
             "--cache", os.path.join(target, "cache")], cwd=target)
        if process.returncode != 0:
            print("npm ci failed: %s could not be installed from the npm registry" % what,
                  file=sys.stderr)
            return False
        with open(stamp, "wb") as stream:
            stream.write(pinned)
        print(what, "installed in", target)
        return True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--into", required=True)
    parser.add_argument("--node-builds")
    parser.add_argument("--npm", default="npm")
    args = parser.parse_args()
    ok = install(SOURCE, os.path.abspath(args.into), args.npm, "npm tools")
    if ok and args.node_builds:
        ok = install(os.path.join(SOURCE, "node-builds"), os.path.abspath(args.node_builds),
                     args.npm, "Node.js builds")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
