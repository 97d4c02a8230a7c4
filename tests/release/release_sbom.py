#!/usr/bin/env python3
"""The release's software bill of materials, velkor-dpapi.cdx.json: valid CycloneDX 1.5 by
CycloneDX's own validator (tests/validate_sbom.cjs, from the npm registry at the version
tests/npm-tools pins), the same file in the zip and in the platform package, naming the zip's
executable by its SHA-256, its version and licence, and exactly what the linker took from the
toolchain (read from its map), each with the Debian package that holds it and that package's
installed version.

And the licences of what was linked, found apart from the build: each member the map names is
traced to its source file (the compile unit its debug information names, or for the few without
any, the table below), the source file to its licence in the installed package's copyright file,
and each licence must be in the SBOM, and each notice that a licence asks every copy to carry
must be in THIRD-PARTY-NOTICES.txt, the same file in the zip and in the platform package.

    release_sbom.py --zip PATH --platform-tarball PATH --map PATH --version X.Y.Z
                    --tools DIR --objdump PATH [--node PATH] [unittest arguments]
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
from collections import defaultdict

HERE = os.path.dirname(os.path.abspath(__file__))
ZIP = TARBALL = MAP = VERSION = TOOLS = OBJDUMP = None
NODE = "node"
SBOM = "velkor-dpapi.cdx.json"
NOTICES = "THIRD-PARTY-NOTICES.txt"

# The linked members that carry no debug information to name their source, by file and member
# name: what each is made from. An import library's members are stubs that dlltool makes from the
# DLL's module definition file. GCC's runtime archives and objects are stripped, and its copyright
# file is prose that names runtime libraries, not files: "gcc:" and the library's name there.
UNDEBUGGED = (
    ("libkernel32.a", r"libkernel32[hst][0-9]*\.o", "mingw-w64-crt/lib-common/kernel32.def.in"),
    ("libmsvcrt.a", r"libmsvcrt_def[hst][0-9]*\.o", "mingw-w64-crt/lib-common/msvcrt.def.in"),
    ("libgcc.a", r".*", "gcc:libgcc"),
    ("libgcc_eh.a", r".*", "gcc:libgcc"),
    ("crtbegin.o", r"", "gcc:libgcc"),
    ("crtend.o", r"", "gcc:libgcc"),
    ("libstdc++.a", r".*", "gcc:libstdc++-v3"),
)

# The licences, by the copyright files' short names, that have an SPDX identifier.
SPDX = {"ZPL-2.1": "ZPL-2.1", "expat": "MIT", "BSD-3-clause": "BSD-3-Clause", "ISC": "ISC"}
GCC_RUNTIME = "GPL-3.0-or-later WITH GCC-exception-3.1"

# Whether a licence's terms ask for its notice in every copy, binaries included. A licence not
# here fails the test until someone reads it and says.
NOTICE_WANTED = {
    "ZPL-2.1": True,         # binary redistributions reproduce the notice and disclaimer
    "Lucent": True,          # the notice appears in all copies
    "David-Gay": True,       # likewise
    "Permissive-Sun": True,  # provided that this notice is preserved
    "expat": True,           # included in all copies or substantial portions
    "BSD-3-clause": True,
    "BSD-3-clause-Lockless": True,
    "BSD-2-clause-NetBSD": True,
    "ISC": True,
    "public-domain": False,
    "Keith-Marshall": False,  # "without restriction of copyright"
    GCC_RUNTIME: False,       # the exception lets the combination go under the program's terms
}


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
    members = text[:text.index("Memory Configuration")]
    paths = {match.group(1) for match in re.finditer(r"^(/\S+\.a)\(", members, re.M)}
    paths |= {match.group(1) for match in re.finditer(r"^LOAD (/\S+\.o)$", text, re.M)}
    return {os.path.realpath(path) for path in paths}


def linked_members():
    """Each member the linker took, as (the real path of its archive or object, member name or
    "" for an object loaded whole)."""
    with open(MAP, encoding="utf-8") as stream:
        text = stream.read()
    members = text[:text.index("Memory Configuration")]
    linked = {(os.path.realpath(match.group(1)), match.group(2))
              for match in re.finditer(r"^(/\S+\.a)\(([^)\s]+)\)", members, re.M)}
    linked |= {(os.path.realpath(match.group(1)), "")
               for match in re.finditer(r"^LOAD (/\S+\.o)$", text, re.M)}
    return linked


def compile_units(path):
    """The source files that the debug information of an archive's members (or of an object)
    names, by member name ("" for an object)."""
    dump = subprocess.run([OBJDUMP, "--dwarf=info", path], capture_output=True, text=True,
                          check=True).stdout
    units = defaultdict(list)
    member, in_unit = "", False
    for line in dump.splitlines():
        header = re.match(r"^(\S+):\s+file format ", line)
        if header:
            member = "" if path.endswith(".o") else header.group(1)
        elif "DW_TAG_compile_unit" in line:
            in_unit = True
        elif in_unit and "DW_TAG_" in line:
            in_unit = False
        elif in_unit:
            name = re.search(r"DW_AT_name\s*:\s*(?:\([^)]*\):\s*)?(\S.*)$", line)
            if name:
                units[member].append(os.path.normpath(name.group(1)))
                in_unit = False
    return units


def sources_of(linked):
    """What each linked member was made from: source files named as in the source package, or
    "gcc:" and a GCC runtime library; members with nothing known are left out."""
    sources = {}
    for path in sorted({path for path, _ in linked}):
        units = compile_units(path)
        for member in sorted(member for where, member in linked if where == path):
            found = units.get(member)
            if not found:
                found = [source for file, pattern, source in UNDEBUGGED
                         if file == os.path.basename(path) and re.fullmatch(pattern, member)]
            if found:
                sources[(path, member)] = found
    return sources


def unfold(lines):
    """A field's text, its continuation lines without the format's indent and " ." as empty."""
    return "\n".join("" if line in (" .", "\t.") else line[1:] for line in lines).strip()


class Dep5:
    """A machine-readable (DEP-5) copyright file: its Files: paragraphs in order, and its
    stand-alone License: paragraphs by short name."""

    def __init__(self, path):
        with open(path, encoding="utf-8") as stream:
            text = stream.read()
        self.paragraphs, self.licences = [], {}
        for block in re.split(r"\n[ \t]*\n", text):
            fields, order = {}, []
            for line in block.splitlines():
                if line[:1] in (" ", "\t") and order:
                    fields[order[-1]].append(line)
                elif ":" in line:
                    name, value = line.split(":", 1)
                    order.append(name)
                    fields[name] = [line]
                    fields[name + ":value"] = value.strip()
            if "License" not in fields:
                continue
            short = fields["License:value"]
            body = unfold(fields["License"][1:])
            if "Files" in fields:
                patterns = " ".join([fields["Files:value"]] +
                                    [line.strip() for line in fields["Files"][1:]]).split()
                self.paragraphs.append({"patterns": patterns, "licence": short, "text": body,
                                        "copyright": "\n".join(fields.get("Copyright", []))})
            elif body:
                self.licences[short] = body

    def covering(self, source):
        """The paragraphs that give a file's licence: the last that matches it, as the format
        says, and any that name it exactly (a file named outright is stated, not swept in)."""
        def matches(pattern):
            expression = re.escape(pattern).replace(r"\*", ".*").replace(r"\?", ".")
            return re.fullmatch(expression, source) is not None
        matching = [paragraph for paragraph in self.paragraphs
                    if any(matches(pattern) for pattern in paragraph["patterns"])]
        return [paragraph for paragraph in matching
                if paragraph is matching[-1] or source in paragraph["patterns"]]

    def text(self, paragraph):
        return paragraph["text"] or self.licences.get(paragraph["licence"], "")


def gcc_runtime_libraries(path):
    """The runtime libraries that GCC's copyright file puts under the GPL (3 or later) with the
    GCC Runtime Library Exception 3.1, whose text it must hold."""
    with open(path, encoding="utf-8") as stream:
        paragraphs = re.split(r"\n[ \t]*\n", stream.read())
    if not any(" ".join(block.split()) == "GCC RUNTIME LIBRARY EXCEPTION" for block in paragraphs):
        return set()
    for index, block in enumerate(paragraphs[:-1]):
        if " ".join(block.split()) == (
                "The following runtime libraries are licensed under the terms of the GNU General "
                "Public License (v3 or later) with version 3.1 of the GCC Runtime Library "
                "Exception (included in this file):"):
            return set(re.findall(r"^ - (\S+)", paragraphs[index + 1], re.M))
    return set()


def copyright_file(package):
    return "/usr/share/doc/%s/copyright" % package


def sbom_licences(component):
    return {("expression", entry["expression"]) if "expression" in entry else
            next(iter(entry["license"].items())) for entry in component["licenses"]}


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

    def test_names_every_licence_of_what_was_linked_and_carries_its_notices(self):
        declared = {}
        for component in self.bom["components"]:
            for name in properties(component)["velkor-dpapi:linked-statically"].split():
                declared[name] = component
        linked = linked_members()
        sources = sources_of(linked)
        self.assertEqual(sorted(set(linked) - set(sources)), [],
                         "linked members whose source is not known")
        notices = from_zip(NOTICES).decode("utf-8")
        self.assertEqual(from_tarball(NOTICES).decode("utf-8"), notices)
        expected = defaultdict(set)  # by component: the licences its linked members are under
        wanted = {}  # the notices due: (copyright, licence text) by licence and source
        for (path, member), found in sorted(sources.items()):
            component = declared[os.path.basename(path)]
            package = properties(component)["velkor-dpapi:debian-package"]
            for source in found:
                where = "%s(%s): %s" % (os.path.basename(path), member, source)
                if source.startswith("gcc:"):
                    self.assertIn(source[len("gcc:"):],
                                  gcc_runtime_libraries(copyright_file(package)), where)
                    expected[component["name"]].add(("expression", GCC_RUNTIME))
                    continue
                dep5 = Dep5(copyright_file(package))
                covering = dep5.covering(source)
                self.assertTrue(covering, "%s: in no paragraph of %s" % (
                    where, copyright_file(package)))
                for paragraph in covering:
                    licence = paragraph["licence"]
                    expected[component["name"]].add(
                        ("id", SPDX[licence]) if licence in SPDX else ("name", licence))
                    self.assertIn(licence, NOTICE_WANTED,
                                  "%s: does %s ask for its notice in every copy?" % (where,
                                                                                    licence))
                    if NOTICE_WANTED[licence]:
                        text = dep5.text(paragraph)
                        self.assertTrue(text, "%s: no text for %s" % (where, licence))
                        wanted[(licence, paragraph["copyright"])] = (text, where)
        self.assertEqual({name: sbom_licences(component)
                          for name, component in ((c["name"], c) for c in self.bom["components"])},
                         dict(expected), "the SBOM's licences and the linked members' differ")
        for (licence, holders), (text, where) in sorted(wanted.items()):
            with self.subTest(licence=licence, first_due_to=where):
                self.assertIn(holders + "\nLicense: " + licence + "\n\n" + text + "\n", notices)
        for component in self.bom["components"]:
            self.assertIn("\n  %s, from %s %s:\n" % (
                component["name"], properties(component)["velkor-dpapi:debian-package"],
                component["version"]), notices)

    def test_every_component_is_a_dependency_of_the_executable(self):
        names = [component["bom-ref"] for component in self.bom["components"]]
        self.assertEqual(self.bom["dependencies"][0], {"ref": "velkor-dpapi", "dependsOn": names})


def main():
    global ZIP, TARBALL, MAP, VERSION, TOOLS, OBJDUMP, NODE
    parser = argparse.ArgumentParser()
    parser.add_argument("--zip", required=True)
    parser.add_argument("--platform-tarball", required=True)
    parser.add_argument("--map", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--tools", required=True)
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--node", default="node")
    args, rest = parser.parse_known_args()
    ZIP, TARBALL, MAP = (os.path.abspath(path) for path in (args.zip, args.platform_tarball,
                                                            args.map))
    VERSION, TOOLS, NODE = args.version, os.path.abspath(args.tools), args.node
    OBJDUMP = args.objdump
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
