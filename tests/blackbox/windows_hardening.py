#!/usr/bin/env python3
"""The Windows executable's hardening, seen from outside. crypt32 comes from the system folder
alone, never from a crypt32.dll planted beside the tool or in the current folder, and one that
cannot be loaded is a platform failure like any other. A crash ends the process at once, with no
debugger or error report in between; and the start-up leaves a fresh stack canary and an error
mode with no crash dialog in place.

    windows_hardening.py --tool velkor-dpapi.exe --planted-dll crypt32.dll --importer importer.exe
                         --crasher crash_on_purpose.exe --startup-state startup_state.exe
                         [--runner wine] [unittest arguments]
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

# The helpers that the black-box, release and docs tests share.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import wine_session

TOOL = None
PLANTED_DLL = None
IMPORTER = None
CRASHER = None
STARTUP_STATE = None
RUNNER = []


def run(program, args, data, folder, dll_order):
    # Under Wine a DLL found beside the program is used only when native DLLs come first, as
    # Windows always does; "d" disables the DLL altogether.
    env = dict(os.environ, WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=;crypt32=" + dll_order)
    result = subprocess.run(RUNNER + [program] + args, input=data, capture_output=True,
                            cwd=folder, env=env, timeout=120)
    return result.stdout, result.stderr, result.returncode


def exit_status(code):
    # A Linux exit status keeps the low byte of a Windows one.
    return code & 0xFF if RUNNER else code


class CrashTest(unittest.TestCase):
    def test_a_crash_ends_the_process_at_once(self):
        # The control: without the tool's start-up, a debugger takes over and reports the crash.
        out, err, status = run(CRASHER, ["control"], b"", None, "b")
        self.assertIn(b"page fault", out + err)
        # With it, nothing runs: the status is the crash's own code. An overrun of a buffer on
        # the stack is caught by the stack protector before the function returns.
        for how, code in (("fault", 0xC0000005), ("overflow", 0xC0000409)):
            with self.subTest(how):
                self.assertEqual(run(CRASHER, [how], b"", None, "b"),
                                 (b"", b"", exit_status(code)))


class StartUpTest(unittest.TestCase):
    def test_a_fresh_canary_and_no_crash_dialog(self):
        # Over two runs: the stack protector's canary differs, and its first (lowest) byte is
        # zero, so that a string overrun cannot copy it; the error mode asks for no dialog on a
        # crash, a critical error or a file that cannot be opened, where it did not before.
        # SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX
        dialogs_off = 0x0001 | 0x0002 | 0x8000
        canaries = []
        for _ in range(2):
            out, err, status = run(STARTUP_STATE, [], b"", None, "b")
            self.assertEqual((err, status), (b"", 0))
            found = re.fullmatch(
                rb"canary ([0-9a-f]{16})\r\nerror mode ([0-9a-f]+) ([0-9a-f]+)\r\n", out)
            self.assertIsNotNone(found, out)
            canary, before, after = (int(value, 16) for value in found.groups())
            self.assertNotEqual(before & dialogs_off, dialogs_off, "the control")
            self.assertEqual(after & dialogs_off, dialogs_off, "error mode %#x" % after)
            self.assertEqual(canary & 0xFF, 0, "canary %016x" % canary)
            self.assertNotEqual(canary, 0)
            canaries.append(canary)
        self.assertNotEqual(canaries[0], canaries[1])


class DllLoadingTest(unittest.TestCase):
    def setUp(self):
        # The planted DLL beside each executable, which is also the current folder.
        self.folder = tempfile.mkdtemp(prefix="velkor-planted-")
        self.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)
        shutil.copy(PLANTED_DLL, os.path.join(self.folder, "crypt32.dll"))
        self.tool = shutil.copy(TOOL, self.folder)
        self.importer = shutil.copy(IMPORTER, self.folder)

    def test_a_planted_crypt32_is_never_loaded(self):
        # The control: a load-time import of crypt32 takes the planted copy.
        out, err, status = run(self.importer, [], b"", self.folder, "n,b")
        self.assertEqual((out, err, status),
                         (b"", b"PLANTED crypt32 loaded\r\n"
                               b"PLANTED crypt32 CryptProtectData saw 2 secret bytes\r\n", 1))

        out, err, status = run(self.tool, ["protect"], b"0011", self.folder, "n,b")
        self.assertEqual((err, status), (b"", 0))
        self.assertRegex(out, rb"^(?:[0-9a-f]{2})+\r\n$")
        self.assertEqual(run(self.tool, ["unprotect"], out, self.folder, "n,b"),
                         (b"0011\r\n", b"", 0))
        self.assertEqual(run(self.tool, ["selftest"], b"", self.folder, "n,b"), (b"ok\r\n", b"", 0))

    def test_crypt32_that_cannot_be_loaded_is_a_platform_failure(self):
        # The loader's own code: the module was not found.
        for args, message in ((["protect"], b"DPAPI protect failed (error 126)\r\n"),
                              (["unprotect"], b"DPAPI unprotect failed (error 126)\r\n"),
                              (["selftest"], b"protect failed 126\r\n")):
            with self.subTest(args=args):
                self.assertEqual(run(self.tool, args, b"0011", self.folder, "d"),
                                 (b"", message, 4))


def main():
    global TOOL, PLANTED_DLL, IMPORTER, CRASHER, STARTUP_STATE, RUNNER
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--planted-dll", required=True)
    parser.add_argument("--importer", required=True)
    parser.add_argument("--crasher", required=True)
    parser.add_argument("--startup-state", required=True)
    parser.add_argument("--runner", action="append", default=[])
    args, rest = parser.parse_known_args()
    TOOL, PLANTED_DLL, IMPORTER, CRASHER = args.tool, args.planted_dll, args.importer, args.crasher
    STARTUP_STATE = args.startup_state
    RUNNER = args.runner
    if RUNNER:
        wine_session.start(RUNNER)  # the prefix, and Wine's services kept off the runs' streams
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
