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

The ARM64 build (--toolchain, the folder tools/arm64-toolchain.sh built its runtimes in): each
component named by the Debian source package it was built from, at the version and .dsc hash the
toolchain recorded; its runtimes carry no debug information, so each member is traced to its
source file by the file name its object records (COFF's .file symbol) among the source files the
toolchain recorded, and to its licence in that source package's copyright file.

    release_sbom.py --zip PATH --platform-tarball PATH --map PATH --version X.Y.Z
                    --tools DIR --objdump PATH [--node PATH] [--toolchain DIR]
                    [unittest arguments]
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

# The helpers that the black-box, release and docs tests share.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from pe_image import PeImage

HERE = os.path.dirname(os.path.abspath(__file__))
ZIP = TARBALL = MAP = VERSION = TOOLS = OBJDUMP = TOOLCHAIN = None
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

# The ARM64 build: its import libraries (llvm-dlltool's, every member named for the DLL) made
# from the same module definition files; and where each runtime archive's sources lie in its
# source package.
ARM64_IMPORTS = (
    ("libkernel32.a", r"KERNEL32\.dll", "mingw-w64-crt/lib-common/kernel32.def.in"),
    ("libmsvcrt.a", r"msvcrt\.dll", "mingw-w64-crt/lib-common/msvcrt.def.in"),
)
ARM64_SOURCE_FOLDERS = {
    "mingw-w64": ("mingw-w64-crt/",),
    "libc++.a": ("libcxx/src/", "libcxxabi/src/"),
    "libunwind.a": ("libunwind/src/",),
    "libclang_rt.builtins-aarch64.a": ("compiler-rt/lib/builtins/",),
}

# The licences, by the copyright files' short names, that have an SPDX identifier.
SPDX = {"ZPL-2.1": "ZPL-2.1", "expat": "MIT", "BSD-3-clause": "BSD-3-Clause", "ISC": "ISC"}
# And those that are an SPDX expression (a component's only licence entry in CycloneDX).
SPDX_EXPRESSION = {"APACHE-2-LLVM-EXCEPTIONS": "Apache-2.0 WITH LLVM-exception"}
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
    # The LLVM exception: portions embedded in an object form by compiling go without the
    # Apache licence's conditions 4(a), 4(b) and 4(d) (the notices among them).
    "APACHE-2-LLVM-EXCEPTIONS": False,
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
    if TOOLCHAIN:
        return {path for path, _ in linked_by_lld()}
    with open(MAP, encoding="utf-8") as stream:
        text = stream.read()
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


def linked_by_lld():
    """What lld linked, as (real path of its archive or object, member name or "" for an object
    loaded whole). lld's map names each input section's file: an object it loaded whole by its
    path, an archive's member by the member's name alone. The archives are found by their members
    among the toolchain's own; an import library (whose stubs the map does not show) by the DLL
    the executable imports, as (its path, the DLL's name as its members give it)."""
    with open(MAP, encoding="utf-8") as stream:
        text = stream.read()
    inputs = set(re.findall(r"^\S+ \S+ +\d+ +(\S+?\.o(?:bj)?):\(", text, re.M))
    linked = {(os.path.realpath(path), "") for path in inputs if path.startswith("/")}
    members = {name for name in inputs if not name.startswith(("/", "CMakeFiles/"))}
    found, imports = set(), {}
    for folder, _, files in os.walk(TOOLCHAIN):
        for name in sorted(files):
            if name.endswith(".a"):
                archive = os.path.realpath(os.path.join(folder, name))
                held = archive_members(archive)
                # An import library's stubs are members named for the DLL (some import
                # libraries hold a few objects too).
                for dll in (member for member in held if member.lower().endswith(".dll")):
                    imports.setdefault(dll.lower(), set()).add((archive, dll))
                linked |= {(archive, member) for member in held & members}
                found |= held & members
    # Two archives are the same members under another name: the link names the second.
    for alias, named in (("libmsvcrt-os.a", "libmsvcrt.a"), ("libc++abi.a", "libc++.a")):
        archives = {os.path.basename(path) for path, _ in linked}
        if alias in archives and named in archives:
            linked = {(path, member) for path, member in linked
                      if os.path.basename(path) != alias}
    # The project's own archives hold the rest.
    project = members - found
    assert all(name.endswith(".cpp.obj") for name in project), sorted(project)
    library = os.path.realpath(os.path.join(TOOLCHAIN, "aarch64-w64-mingw32", "lib"))
    for dll in PeImage(from_zip("velkor-dpapi.exe")).imported_dlls():
        archive = os.path.join(library, "lib%s.a" % dll.lower()[:-len(".dll")])
        linked |= {entry for entry in imports.get(dll.lower(), ()) if entry[0] == archive}
    return linked


def linked_members():
    """Each member the linker took, as (the real path of its archive or object, member name or
    "" for an object loaded whole)."""
    if TOOLCHAIN:
        return linked_by_lld()
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


def file_records(path):
    """The source file name each object of an archive (or an object) records in its COFF .file
    symbol, by member name ("" for an object)."""
    dump = subprocess.run([OBJDUMP, "-t", path], capture_output=True, text=True,
                          check=True).stdout
    names, member, after_file = {}, "", False
    for line in dump.splitlines():
        header = re.match(r"^(?:\S+\((\S+)\)|(\S+)):\s+file format ", line)
        if header:
            member = "" if path.endswith(".o") else (header.group(1) or header.group(2))
        elif re.search(r"\(scl +67\) .* \.file$", line):  # IMAGE_SYM_CLASS_FILE, in hex
            after_file = True
        elif after_file:
            after_file = False
            record = re.match(r"^AUX (\S+)$", line.strip())
            if record:
                names[member] = record.group(1)
    return names


def recorded_files(package):
    with open(os.path.join(TOOLCHAIN, "files." + package), encoding="utf-8") as stream:
        return stream.read().split("\n")


def arm64_sources_of(linked):
    """The ARM64 build's linked members, each with the source files of its source package that
    have the name its object records, in the folders its archive is built from: a list of one
    file, or of several that the test then requires to be under the same licences."""
    sources = {}
    for path in sorted({path for path, _ in linked}):
        name = os.path.basename(path)
        imports = [(pattern, source) for file, pattern, source in ARM64_IMPORTS if file == name]
        package = "llvm-toolchain-14" if name in ARM64_SOURCE_FOLDERS else "mingw-w64"
        folders = ARM64_SOURCE_FOLDERS.get(name, ARM64_SOURCE_FOLDERS["mingw-w64"])
        files = [file for file in recorded_files(package) if file.startswith(folders)]
        records = file_records(path)
        for member in sorted(member for where, member in linked if where == path):
            found = [source for pattern, source in imports if re.fullmatch(pattern, member)]
            assert all(source in files for source in found), found
            # An object of assembler source records no name; CMake names LLVM's objects for
            # their sources (UnwindRegistersSave.S.obj).
            recorded = records.get(member)
            if recorded is None and package == "llvm-toolchain-14" and member.endswith(".obj"):
                recorded = member[:-len(".obj")]
            if not found and recorded:
                found = [file for file in files if os.path.basename(file) == recorded]
            if found:
                sources[(path, member)] = found
    return sources


def sources_of(linked):
    """What each linked member was made from: source files named as in the source package, or
    "gcc:" and a GCC runtime library; members with nothing known are left out."""
    if TOOLCHAIN:
        return arm64_sources_of(linked)
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
    """The binary package's copyright file, or for the ARM64 build the source package's, which
    its toolchain keeps."""
    if TOOLCHAIN:
        return os.path.join(TOOLCHAIN, "copyright." + package)
    return "/usr/share/doc/%s/copyright" % package


def package_of(component):
    """The Debian package a component came from: the binary package, or for the ARM64 build the
    source package its toolchain built it from."""
    name = "debian-source-package" if TOOLCHAIN else "debian-package"
    return properties(component)["velkor-dpapi:" + name]


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
            package = package_of(component)
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
            package = package_of(component)
            covered = set()
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
                if TOOLCHAIN:  # the files it may have been made from: one licence or none
                    covered.add(tuple((paragraph["licence"], paragraph["copyright"])
                                      for paragraph in covering))
                    self.assertEqual(len(covered), 1, "%s: the source files of its name are "
                                     "under different licences" % where)
                for paragraph in covering:
                    licence = paragraph["licence"]
                    expected[component["name"]].add(
                        ("expression", SPDX_EXPRESSION[licence]) if licence in SPDX_EXPRESSION else
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
                component["name"], package_of(component), component["version"]), notices)

    def test_every_component_is_a_dependency_of_the_executable(self):
        names = [component["bom-ref"] for component in self.bom["components"]]
        self.assertEqual(self.bom["dependencies"][0], {"ref": "velkor-dpapi", "dependsOn": names})


def main():
    global ZIP, TARBALL, MAP, VERSION, TOOLS, OBJDUMP, NODE, TOOLCHAIN
    parser = argparse.ArgumentParser()
    parser.add_argument("--zip", required=True)
    parser.add_argument("--platform-tarball", required=True)
    parser.add_argument("--map", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--tools", required=True)
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--node", default="node")
    parser.add_argument("--toolchain", help="the ARM64 toolchain that tools/arm64-toolchain.sh built")
    args, rest = parser.parse_known_args()
    TOOLCHAIN = args.toolchain and os.path.abspath(args.toolchain)
    ZIP, TARBALL, MAP = (os.path.abspath(path) for path in (args.zip, args.platform_tarball,
                                                            args.map))
    VERSION, TOOLS, NODE = args.version, os.path.abspath(args.tools), args.node
    OBJDUMP = args.objdump
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
