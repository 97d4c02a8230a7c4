#!/usr/bin/env python3
"""The release's software bill of materials, velkor-dpapi.cdx.json: valid CycloneDX 1.5 by
CycloneDX's own validator (tests/validate_sbom.cjs, from the npm registry at the version
tests/npm-tools pins), the same file in the zip and in the platform package, naming the zip's
executable by its SHA-256, its version and licence, and exactly what the linker took from the
toolchain (read from its map), each with the Debian package that holds it and that package's
installed version.

    release_sbom.py --zip PATH --platform-tarball PATH --map PATH --version X.Y.Z
                    --tools DIR [--node PATH] [--toolchain DIR] [unittest arguments]
"""

import argparse
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest
import zipfile

from pe_image import PeImage

HERE = os.path.dirname(os.path.abspath(__file__))
ZIP = TARBALL = MAP = VERSION = TOOLS = TOOLCHAIN = None
NODE = "node"
SBOM = "velkor-dpapi.cdx.json"


def from_zip(name):
    with zipfile.ZipFile(ZIP) as archive:
        folder = os.path.basename(ZIP)[:-len(".zip")]
        return archive.read(folder + "/" + name)


def from_tarball(name):
    with tarfile.open(TARBALL) as archive:
        return archive.extractfile("package/" + name).read()


def linked_from_toolchain():
    """The real paths of the archives the linker took members from and of the objects it loaded
    whole, outside the build (the build's own inputs are named relative to it)."""
    with open(MAP, encoding="utf-8") as stream:
        text = stream.read()
    if TOOLCHAIN:
        return linked_by_lld(text)
    members = text[:text.index("Memory Configuration")]
    paths = {match.group(1) for match in re.finditer(r"^(/\S+\.a)\(", members, re.M)}
    paths |= {match.group(1) for match in re.finditer(r"^LOAD (/\S+\.o)$", text, re.M)}
    return {os.path.realpath(path) for path in paths}


def archive_members(path):
    """The member names of a GNU or BSD-style ar archive, as the linker names them."""
    with open(path, "rb") as stream:
        data = stream.read()
    names, offset, long_names = set(), 8, b""
    while offset + 60 <= len(data):
        name, size = data[offset:offset + 16].rstrip(), int(data[offset + 48:offset + 58])
        body = data[offset + 60:offset + 60 + size]
        if name == b"//":
            long_names = body
        elif name.startswith(b"/") and name[1:].isdigit():
            start = int(name[1:])
            names.add(long_names[start:long_names.index(b"/\n", start)].decode())
        elif name not in (b"/", b"/SYM64/"):
            names.add(name.rstrip(b"/").decode())
        offset += 60 + size + (size & 1)
    return names


def linked_by_lld(text):
    """lld's map names each input section's file: an object it loaded whole by its path, an
    archive's member by the member's name alone. The archives are found by their members among
    the toolchain's own (the import libraries aside: those by the DLLs the executable imports)."""
    inputs = set(re.findall(r"^\S+ \S+ +\d+ +(\S+?\.o(?:bj)?):\(", text, re.M))
    paths = {path for path in inputs if path.startswith("/")}
    members = {name for name in inputs if not name.startswith(("/", "CMakeFiles/"))}
    found = set()
    for folder, _, files in os.walk(TOOLCHAIN):
        for name in files:
            if name.endswith(".a"):
                archive = os.path.join(folder, name)
                held = archive_members(archive)
                if all(member.lower().endswith(".dll") for member in held):
                    continue  # an import library
                if held & members:
                    paths.add(archive)
                    found |= held & members
    # Two archives are the same members under another name: the link names the second.
    for alias, linked in (("libmsvcrt-os.a", "libmsvcrt.a"), ("libc++abi.a", "libc++.a")):
        named = {os.path.basename(path): path for path in paths}
        if alias in named and linked in named:
            paths.discard(named[alias])
    # The project's own archives hold the rest.
    project = members - found
    assert all(name.endswith(".cpp.obj") for name in project), sorted(project)
    library = os.path.join(TOOLCHAIN, "aarch64-w64-mingw32", "lib")
    for dll in PeImage(from_zip("velkor-dpapi.exe")).imported_dlls():
        paths.add(os.path.join(library, "lib%s.a" % dll.lower()[:-len(".dll")]))
    return {os.path.realpath(path) for path in paths}


def recorded_sources():
    """The ARM64 toolchain's record of its Debian source packages: version and .dsc hash."""
    versions, hashes = {}, {}
    with open(os.path.join(TOOLCHAIN, "SOURCES"), encoding="utf-8") as stream:
        for line in stream:
            words = line.split()
            if words[0] == "source":
                versions[words[1]] = words[2]
            elif words[0] == "dsc-sha256":
                hashes[words[2].split("_")[0]] = words[1]
    return versions, hashes


def dpkg_owner(path):
    owner = subprocess.run(["dpkg-query", "-S", path], capture_output=True, text=True,
                           check=True).stdout
    return re.match(r"^([^:, ]+)", owner).group(1)


def dpkg_version(package):
    return subprocess.run(["dpkg-query", "-W", "-f=${Version}", package], capture_output=True,
                          text=True, check=True).stdout


def properties(component):
    return {entry["name"]: entry["value"] for entry in component.get("properties", [])}


class ReleaseSbomTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.text = from_zip(SBOM)
        cls.bom = json.loads(cls.text)
        cls.folder = tempfile.mkdtemp(prefix="velkor-sbom-")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    def validate(self, name, data):
        path = os.path.join(self.folder, name)
        with open(path, "wb") as stream:
            stream.write(data)
        return subprocess.run([NODE, os.path.join(HERE, "validate_sbom.cjs"), TOOLS, path],
                              capture_output=True, text=True, timeout=300)

    def test_cyclonedx_validates_it_and_rejects_a_changed_one(self):
        process = self.validate("release.cdx.json", self.text)
        self.assertEqual((process.returncode, process.stderr), (0, ""), process.stdout)
        self.assertRegex(process.stdout, r": valid CycloneDX 1\.5\n$")
        # The validator at work: a hash that is no SHA-256, and a field the schema lacks.
        for label, change in (("short-hash", lambda bom: bom["metadata"]["component"]["hashes"][0]
                               .update(content="abc")),
                              ("extra-field", lambda bom: bom.update(built="yesterday"))):
            with self.subTest(change=label):
                bom = json.loads(self.text)
                change(bom)
                process = self.validate(label + ".cdx.json", json.dumps(bom).encode())
                self.assertEqual(process.returncode, 1, process.stdout + process.stderr)
                self.assertIn(": not valid CycloneDX 1.5: ", process.stdout)

    def test_the_platform_package_carries_the_same_file(self):
        self.assertEqual(from_tarball(SBOM), self.text)

    def test_names_the_released_executable(self):
        component = self.bom["metadata"]["component"]
        exe = from_zip("velkor-dpapi.exe")
        self.assertEqual(
            (component["type"], component["name"], component["version"], component["licenses"],
             component["hashes"], properties(component)),
            ("application", "velkor-dpapi", VERSION, [{"license": {"id": "MIT"}}],
             [{"alg": "SHA-256", "content": hashlib.sha256(exe).hexdigest()}],
             {"velkor-dpapi:file": "velkor-dpapi.exe"}))
        self.assertEqual(from_tarball("velkor-dpapi.exe"), exe)

    def test_lists_what_the_linker_took_from_the_toolchain(self):
        declared = {}
        for component in self.bom["components"]:
            for name in properties(component)["velkor-dpapi:linked-statically"].split():
                declared[name] = component
        linked = linked_from_toolchain()
        self.assertEqual({os.path.basename(path) for path in linked}, set(declared),
                         "the link and the SBOM's lists of what was linked in differ")
        if TOOLCHAIN:
            self.check_built_from_sources(linked, declared)
            return
        for name in ("libstdc++", "libgcc", "winpthreads", "mingw-w64-runtime"):
            self.assertIn(name, {component["name"] for component in declared.values()})
        # Each from the Debian package the SBOM names, at its installed version.
        for path in sorted(linked):
            component = declared[os.path.basename(path)]
            package = properties(component)["velkor-dpapi:debian-package"]
            with self.subTest(file=path):
                self.assertEqual(dpkg_owner(path), package)
                self.assertEqual(component["version"], dpkg_version(package))
                self.assertTrue(component["purl"].startswith("pkg:deb/debian/"))
                self.assertTrue(component["licenses"])

    def check_built_from_sources(self, linked, declared):
        """The ARM64 build: each file from the toolchain folder, its component named by the Debian
        source package it was built from, at the version and .dsc hash the toolchain recorded;
        the compiler and linker by their installed Debian packages."""
        for name in ("libc++", "libunwind", "compiler-rt-builtins", "mingw-w64-runtime"):
            self.assertIn(name, {component["name"] for component in declared.values()})
        versions, hashes = recorded_sources()
        for path in sorted(linked):
            component = declared[os.path.basename(path)]
            package = properties(component)["velkor-dpapi:debian-source-package"]
            with self.subTest(file=path):
                self.assertTrue(path.startswith(os.path.realpath(TOOLCHAIN) + os.sep), path)
                self.assertEqual(component["version"], versions[package])
                self.assertEqual(properties(component)["velkor-dpapi:debian-source-dsc-sha256"],
                                 hashes[package])
                self.assertTrue(component["purl"].startswith("pkg:deb/debian/%s@" % package))
                self.assertTrue(component["purl"].endswith("?arch=source"))
                self.assertTrue(component["licenses"])
        tools = {tool["name"]: tool for tool in self.bom["metadata"]["tools"]["components"]}
        self.assertEqual(sorted(tools), ["clang-14", "ld.lld"])
        for name, package in (("clang-14", "clang-14"), ("ld.lld", "lld-14")):
            self.assertEqual(tools[name]["version"], dpkg_version(package))

    def test_every_component_is_a_dependency_of_the_executable(self):
        names = [component["bom-ref"] for component in self.bom["components"]]
        self.assertEqual(self.bom["dependencies"][0], {"ref": "velkor-dpapi", "dependsOn": names})


def main():
    global ZIP, TARBALL, MAP, VERSION, TOOLS, NODE, TOOLCHAIN
    parser = argparse.ArgumentParser()
    parser.add_argument("--zip", required=True)
    parser.add_argument("--platform-tarball", required=True)
    parser.add_argument("--map", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--tools", required=True)
    parser.add_argument("--node", default="node")
    parser.add_argument("--toolchain", help="the ARM64 toolchain that tools/arm64-toolchain.sh built")
    args, rest = parser.parse_known_args()
    TOOLCHAIN = args.toolchain
    ZIP, TARBALL, MAP = (os.path.abspath(path) for path in (args.zip, args.platform_tarball,
                                                            args.map))
    VERSION, TOOLS, NODE = args.version, os.path.abspath(args.tools), args.node
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
