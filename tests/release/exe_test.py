#!/usr/bin/env python3
"""The built velkor-dpapi.exe as a file: its version record and manifest, the DLLs it imports, its
hardening flags and the processor it is for.

    exe_test.py --exe PATH --version X.Y.Z --description TEXT [--compiler gnu|msvc]
                [--machine x64|arm64]
                [unittest arguments]
"""

import argparse
import os
import re
import struct
import sys
import unittest
import xml.etree.ElementTree as ElementTree

# The helpers that the black-box, release and docs tests share.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from pe_image import RT_MANIFEST, RT_VERSION, PeImage, version_tree

EXE = None
VERSION = None
DESCRIPTION = None
COMPILER = None
MACHINE = None

# The only DLLs the executable may import at load time: known DLLs, which the loader always takes
# from the system folder whatever lies beside the executable (crypt32 is not one of them, so the
# tool loads it at run time from the system folder alone).
KNOWN_DLLS = {"kernel32.dll", "msvcrt.dll"}
# The Universal C Runtime's API sets (api-ms-win-crt-runtime-l1-1-0.dll and the like), which the
# system resolves itself to its own ucrtbase.dll.
UCRT_API_SET = re.compile(r"api-ms-win-crt-[a-z]+-l1-1-0\.dll")

ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPATIBILITY = "{urn:schemas-microsoft-com:compatibility.v1}"
SUPPORTED_OS = {
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # Windows 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # Windows 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # Windows 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # Windows 10 and 11
}


def load():
    with open(EXE, "rb") as stream:
        return PeImage(stream.read())


def of_type(resources, kind):
    return {(name, language): data for (k, name, language), data in resources.items() if k == kind}


class ResourceTest(unittest.TestCase):
    def setUp(self):
        self.resources = load().resources()

    def test_version_record(self):
        records = of_type(self.resources, RT_VERSION)
        self.assertEqual(list(records), [(1, 0x409)], "one version record, U.S. English")
        key, fixed, children = version_tree(records[(1, 0x409)])
        self.assertEqual(key, "VS_VERSION_INFO")

        signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", fixed)
        self.assertEqual(signature, 0xFEEF04BD)
        numbers = [int(part) for part in VERSION.split(".")] + [0]
        expected = ((numbers[0] << 16) | numbers[1], (numbers[2] << 16) | numbers[3])
        self.assertEqual((file_ms, file_ls), expected, "file version")
        self.assertEqual((product_ms, product_ls), expected, "product version")

        blocks = {child[0]: child for child in children}
        (table, _, strings), = blocks["StringFileInfo"][2]
        self.assertEqual({name: text for name, text, _ in strings}, {
            "FileDescription": DESCRIPTION,
            "FileVersion": VERSION,
            "InternalName": "velkor-dpapi",
            "OriginalFilename": "velkor-dpapi.exe",
            "ProductName": "velkor-dpapi",
            "ProductVersion": VERSION,
        })
        # Windows finds the strings through the language and code page named in Translation.
        (name, translation, _), = blocks["VarFileInfo"][2]
        self.assertEqual(name, "Translation")
        language, code_page = struct.unpack("<HH", translation)
        self.assertEqual(table.upper(), "%04X%04X" % (language, code_page))
        self.assertEqual((language, code_page), (0x409, 1200))

    def test_manifest(self):
        manifests = of_type(self.resources, RT_MANIFEST)
        self.assertEqual([name for name, _ in manifests], [1], "one manifest, for the process")
        root = ElementTree.fromstring(next(iter(manifests.values())))
        levels = root.findall(".//%srequestedExecutionLevel" % ASM_V3)
        self.assertEqual([level.attrib for level in levels],
                         [{"level": "asInvoker", "uiAccess": "false"}])
        systems = root.findall(".//%sapplication/%ssupportedOS" % (COMPATIBILITY, COMPATIBILITY))
        self.assertEqual({system.get("Id") for system in systems}, SUPPORTED_OS)


class ImportTest(unittest.TestCase):
    def test_imports_only_known_dlls(self):
        dlls = {name.lower() for name in load().imported_dlls()}
        self.assertIn("kernel32.dll", dlls)  # the list was read
        searched = {dll for dll in dlls
                    if dll not in KNOWN_DLLS and not UCRT_API_SET.fullmatch(dll)}
        self.assertEqual(searched, set(), "DLLs the loader would look for beside the executable")


# The image's hardening flags (IMAGE_DLLCHARACTERISTICS_*).
HIGH_ENTROPY_VA = 0x0020
DYNAMIC_BASE = 0x0040
NX_COMPAT = 0x0100
GUARD_CF = 0x4000
BASE_RELOCATIONS = 5  # the data directory that makes a relocatable image really movable


# IMAGE_FILE_MACHINE_* of the processors the release is built for.
MACHINES = {"x64": 0x8664, "arm64": 0xAA64}


class HardeningTest(unittest.TestCase):
    def test_machine(self):
        self.assertEqual(hex(load().machine), hex(MACHINES[MACHINE]))

    def test_image_is_relocatable_high_entropy_and_non_executable_data(self):
        image = load()
        flags = HIGH_ENTROPY_VA | DYNAMIC_BASE | NX_COMPAT
        self.assertEqual(image.dll_characteristics & flags, flags)
        self.assertNotEqual(image.directory(BASE_RELOCATIONS)[1], 0, "no base relocations")

    def test_control_flow_guard(self):
        # MSVC's; mingw-w64's stack protector is shown at work by the windows_hardening test.
        if COMPILER != "msvc":
            self.skipTest("an MSVC build's")
        self.assertEqual(load().dll_characteristics & GUARD_CF, GUARD_CF)


def main():
    global EXE, VERSION, DESCRIPTION, COMPILER, MACHINE
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--description", required=True)
    parser.add_argument("--compiler", choices=("gnu", "msvc"), default="gnu")
    parser.add_argument("--machine", choices=sorted(MACHINES), default="x64")
    args, rest = parser.parse_known_args()
    EXE, VERSION, DESCRIPTION, COMPILER = args.exe, args.version, args.description, args.compiler
    MACHINE = args.machine
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
