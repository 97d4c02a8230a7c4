#!/usr/bin/env python3
"""The README's two commands do what it says: tools/quickstart.sh builds the native and Windows
tools and runs tools/demo.sh on each (the .exe under Wine), and tools/test.sh, what CI runs,
builds and tests the native and sanitize (with the fuzzers) presets, builds and packs the
windows-arm64 preset on the ARM64 toolchain it builds, builds and tests the windows preset, whose
client pins the ARM64 executable, and tests the ARM64 build in the chroot it makes meanwhile.

    readme_scripts_test.py --source DIR [--tool PATH [--runner "wine"]]

The two scripts are not run for real (they install packages and build): each runs in a scratch
copy of tools/ where the other scripts of tools/, and CMake, ctest, cpack, Wine and the package
tools on PATH, are stand-ins that record their calls, which must be exactly the expected ones.
With --tool, tools/demo.sh itself runs that build of the tool (through --runner, as quickstart.sh
runs the .exe under Wine) and its output must be exact.
"""

import argparse
import json
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

SECRET = "76656c6b6f72"

# A stand-in for a script of tools/: records whether it was sourced or run, and with what; run,
# fails with status 7 when its call is the one STAND_IN_FAIL names.
SCRIPT_STAND_IN = r"""
if [ "${BASH_SOURCE[0]}" != "$0" ]; then how=sourced; else how=ran; fi
line=$(printf '%q ' "tools/NAME" "$@")
printf '%s %s\n' "$how" "${line% }" >>"$STAND_IN_LOG"
if [ "$how" = sourced ]; then export STAND_IN_WINE_ENV=1; fi
if [ "$how" = ran ] && [ "${line% }" = "${STAND_IN_FAIL:-}" ]; then exit 7; fi
"""

# A stand-in for a program on PATH: records its call, and whether the Wine environment was set;
# fails with status 7 when its call is the one STAND_IN_FAIL names.
PROGRAM_STAND_IN = r"""#!/bin/bash
call=$(printf '%q ' "NAME" "$@")
call=${call% }
printf '%s%s\n' "$call" "${STAND_IN_WINE_ENV:+ [wine-env]}" >>"$STAND_IN_LOG"
if [ "$call" = "${STAND_IN_FAIL:-}" ]; then exit 7; fi
"""

STAND_IN_PROGRAMS = ["cmake", "ctest", "cpack", "ninja", "wine", "wine64", "wineserver",
                     "apt-get", "sudo", "npm", "node"]


def read(name):
    with open(os.path.join(SOURCE, name), encoding="utf-8") as stream:
        return stream.read()


def presets():
    return json.loads(read("CMakePresets.json"))


def preset(kind, name):
    return next((entry for entry in presets()[kind] if entry["name"] == name), None)


def tool_path(name, file_name):
    # Where the preset's build puts the tool, relative to the project root.
    return preset("configurePresets", name)["binaryDir"].replace("${sourceDir}/", "") + \
        "/" + file_name


def dry_run(script, fail=None):
    """Runs tools/SCRIPT in a scratch copy of tools/ with every call a stand-in: returns its
    status and the calls, one a line."""
    folder = tempfile.mkdtemp(prefix="velkor-scripts-")
    try:
        tools = os.path.join(folder, "root", "tools")
        stand_ins = os.path.join(folder, "bin")
        os.makedirs(tools)
        os.makedirs(stand_ins)
        shutil.copy(os.path.join(SOURCE, "tools", script), tools)
        for name in os.listdir(os.path.join(SOURCE, "tools")):
            if name != script and name.endswith(".sh"):
                with open(os.path.join(tools, name), "w") as stream:
                    stream.write(SCRIPT_STAND_IN.replace("NAME", name))
        for name in STAND_IN_PROGRAMS:
            path = os.path.join(stand_ins, name)
            with open(path, "w") as stream:
                stream.write(PROGRAM_STAND_IN.replace("NAME", name))
            os.chmod(path, 0o755)
        log = os.path.join(folder, "calls")
        open(log, "w").close()
        env = dict(os.environ, PATH=stand_ins + os.pathsep + os.environ["PATH"],
                   STAND_IN_LOG=log, STAND_IN_FAIL=fail or "")
        env.pop("STAND_IN_WINE_ENV", None)
        result = subprocess.run(["bash", os.path.join(tools, script)], cwd=folder, env=env,
                                stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        with open(log) as stream:
            calls = [line.rstrip() for line in stream]
        return result.returncode, calls
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def expected(*lines):
    # The calls as the stand-ins record them: after tools/wine-env.sh is sourced, every program
    # sees the Wine environment.
    out, wine_env = [], False
    for words in lines:
        out.append(" ".join(shlex.quote(word) for word in words) +
                   (" [wine-env]" if wine_env and words[0] in STAND_IN_PROGRAMS else ""))
        wine_env = wine_env or words == ("sourced", "tools/wine-env.sh")
    return out


def as_root(script, *arguments):
    """How tools/test.sh runs an ARM64 script, which needs root: itself as root (as CI is), and
    through sudo otherwise; as the stand-ins record the call."""
    if os.getuid() == 0:
        return ("ran", "tools/" + script) + arguments
    return ("sudo", "bash", "tools/" + script) + arguments


def builds(*presets):
    steps = []
    for name in presets:
        steps += [("cmake", "--preset", name), ("cmake", "--build", "--preset", name),
                  ("ctest", "--preset", name)]
    return steps


class TestScriptTest(unittest.TestCase):
    PRESETS = ["native", "sanitize", "windows"]
    ARM64 = "windows-arm64"

    def split_chroot(self, calls):
        """The ARM64 chroot is made in the background, its call recorded whenever it runs:
        after Wine's environment is set, and before the ARM64 preset's tests (the script waits
        for it). Returns the other calls, in order."""
        (chroot,) = expected(("sourced", "tools/wine-env.sh"), as_root("arm64-chroot.sh"))[1:]
        tests = "ctest --preset %s [wine-env]" % self.ARM64
        self.assertEqual(calls.count(chroot), 1, calls)
        self.assertIn(tests, calls)
        at = calls.index(chroot)
        self.assertGreater(at, calls.index("sourced tools/wine-env.sh"), calls)
        self.assertLess(at, calls.index(tests), calls)
        return calls[:at] + calls[at + 1:]

    def test_it_installs_sources_wine_then_builds_and_tests_every_preset(self):
        # The ARM64 release is packed before the windows preset, whose client pins it.
        status, calls = dry_run("test.sh")
        self.assertEqual(status, 0, calls)
        self.assertEqual(self.split_chroot(calls), expected(
            ("ran", "tools/install-deps.sh"), ("sourced", "tools/wine-env.sh"),
            as_root("arm64-chroot.sh", "--check"),
            *builds("native", "sanitize"), as_root("arm64-toolchain.sh"),
            *builds(self.ARM64)[:2], ("cpack", "--preset", self.ARM64), *builds("windows"),
            ("ctest", "--preset", self.ARM64)))

    def test_a_missing_prerequisite_stops_it_before_any_build(self):
        # binfmt_misc or qemu's ARM64 entry missing: arm64-chroot.sh --check fails, in seconds.
        call = as_root("arm64-chroot.sh", "--check")
        status, calls = dry_run("test.sh", fail=" ".join(call[1:] if call[0] == "ran" else call))
        self.assertNotEqual(status, 0)
        self.assertEqual([line for line in calls if line.startswith(("cmake", "ctest", "cpack"))],
                         [])

    def test_a_failed_step_fails_it(self):
        status, calls = dry_run("test.sh", fail="ctest --preset native")
        self.assertNotEqual(status, 0)
        self.assertIn("ctest --preset native [wine-env]", calls)
        self.assertNotIn("ctest --preset sanitize [wine-env]", calls)
        # The ARM64 steps: the toolchain, which the ARM64 and windows presets need, and the
        # chroot, whose failure is found once the windows preset has run; neither lets the ARM64
        # preset's tests run.
        for script, windows_tested in (("arm64-toolchain.sh", False), ("arm64-chroot.sh", True)):
            with self.subTest(failed=script):
                call = as_root(script)
                status, calls = dry_run("test.sh", fail=" ".join(call[1:] if call[0] == "ran"
                                                                  else call))
                self.assertNotEqual(status, 0)
                self.assertEqual("ctest --preset windows [wine-env]" in calls, windows_tested)
                self.assertNotIn("ctest --preset %s [wine-env]" % self.ARM64, calls)

    def test_its_presets_build_what_it_says(self):
        for name in self.PRESETS + [self.ARM64]:
            for kind in ("configurePresets", "buildPresets", "testPresets"):
                with self.subTest(preset=name, kind=kind):
                    entry = preset(kind, name)
                    self.assertIsNotNone(entry)
                    if kind != "configurePresets":
                        self.assertEqual(entry["configurePreset"], name)
                    self.assertNotIn("filter", entry)  # every test of the build, none left out
        sanitize = preset("configurePresets", "sanitize")["cacheVariables"]
        self.assertEqual((sanitize.get("VELKOR_SANITIZE"), sanitize.get("VELKOR_FUZZ")),
                         ("ON", "ON"))
        self.assertRegex(read("CMakeLists.txt"), r"if\(VELKOR_FUZZ\)\n  add_subdirectory\(fuzz\)")
        self.assertRegex(read("fuzz/CMakeLists.txt"), r"add_test\(NAME \$\{name\}")
        self.assertEqual(preset("configurePresets", "windows")["toolchainFile"],
                         "${sourceDir}/cmake/mingw-w64-x86_64.cmake")
        self.assertEqual(preset("configurePresets", self.ARM64)["toolchainFile"],
                         "${sourceDir}/cmake/clang-aarch64-w64-mingw32.cmake")


class QuickStartScriptTest(unittest.TestCase):
    def test_it_builds_both_tools_and_runs_the_demo_on_each(self):
        # The tool's file name as this build makes it, where the test is given one.
        native_file, exe_file = "velkor-dpapi", "velkor-dpapi.exe"
        if TOOL and TOOL.endswith(".exe"):
            exe_file = os.path.basename(TOOL)
        elif TOOL:
            native_file = os.path.basename(TOOL)
        status, calls = dry_run("quickstart.sh")
        self.assertEqual((status, calls), (0, expected(
            ("ran", "tools/install-deps.sh"), ("sourced", "tools/wine-env.sh"),
            ("cmake", "--preset", "native"), ("cmake", "--build", "--preset", "native"),
            ("cmake", "--preset", "windows"), ("cmake", "--build", "--preset", "windows"),
            ("ran", "tools/demo.sh", tool_path("native", native_file)),
            ("ran", "tools/demo.sh", "wine", tool_path("windows", exe_file)))))

    def test_a_failed_build_fails_it(self):
        status, calls = dry_run("quickstart.sh", fail="cmake --build --preset windows")
        self.assertNotEqual(status, 0)
        self.assertFalse([line for line in calls if "demo.sh" in line], calls)


# A stand-in tool for the demo's failures: the step named by STAND_IN_TOOL_FAIL fails as the
# tool would, or opens a blob as another secret.
FAILING_TOOL = r"""
case "$1:${STAND_IN_TOOL_FAIL}" in
  selftest:selftest) echo mismatch; exit 4 ;;
  selftest:*) echo ok ;;
  protect:protect) cat >/dev/null; echo "DPAPI protect failed (error 5)" >&2; exit 3 ;;
  protect:*) cat >/dev/null; echo 0011aabb ;;
  unprotect:unprotect) cat >/dev/null; echo "DPAPI unprotect failed (error 13)" >&2; exit 4 ;;
  unprotect:other) cat >/dev/null; echo 0102 ;;
  unprotect:*) cat >/dev/null; echo 76656c6b6f72 ;;
esac
"""


class DemoTest(unittest.TestCase):
    def run_demo(self, *command, env=None):
        folder = tempfile.mkdtemp(prefix="velkor-demo-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        environment = dict(os.environ, HOME=folder, **(env or {}))
        environment.pop("XDG_DATA_HOME", None)
        result = subprocess.run(["bash", os.path.join(SOURCE, "tools", "demo.sh"), *command],
                                cwd=folder, env=environment, stdin=subprocess.DEVNULL,
                                capture_output=True, timeout=300)
        return result.stdout, result.stderr, result.returncode

    def test_the_demo_of_this_build(self):
        if TOOL is None:
            self.skipTest("needs --tool")
        # The blob's length, from a seal of the same secret of the test's own.
        home = tempfile.mkdtemp(prefix="velkor-demo-")
        self.addCleanup(shutil.rmtree, home, ignore_errors=True)
        sealed = subprocess.run(RUNNER + [TOOL, "protect"], input=SECRET.encode() + b"\n",
                                capture_output=True, timeout=120, env=dict(os.environ, HOME=home))
        digits = len(re.sub(rb"[^0-9a-f]", b"", sealed.stdout))
        self.assertEqual((sealed.stderr, sealed.returncode), (b"", 0))
        # The .exe ends its own lines with CR LF; the demo's line and the secret it prints, LF.
        end = b"\r\n" if TOOL.endswith(".exe") else b"\n"
        self.assertEqual(self.run_demo(*RUNNER, TOOL), (
            b"ok" + end +
            b"sealed %s into a blob of %d hex digits; opened again:\n" % (SECRET.encode(), digits) +
            SECRET.encode() + b"\n", b"", 0))

    def test_a_failed_step_is_a_failed_demo(self):
        table = [
            ("selftest", b"mismatch\n", b"", 4),
            ("protect", b"ok\n", b"DPAPI protect failed (error 5)\n", 3),
            ("unprotect", b"ok\nsealed 76656c6b6f72 into a blob of 8 hex digits; opened again:\n",
             b"DPAPI unprotect failed (error 13)\n", 4),
            ("other", b"ok\nsealed 76656c6b6f72 into a blob of 8 hex digits; opened again:\n0102\n",
             b"demo: the blob opened as 0102, not 76656c6b6f72\n", 1),
            ("", b"ok\nsealed 76656c6b6f72 into a blob of 8 hex digits; opened again:\n"
                 b"76656c6b6f72\n", b"", 0),
        ]
        folder = tempfile.mkdtemp(prefix="velkor-demo-tool-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        tool = os.path.join(folder, "tool.sh")
        with open(tool, "w") as stream:
            stream.write(FAILING_TOOL)
        for step, out, err, status in table:
            with self.subTest(step=step):
                self.assertEqual(self.run_demo("bash", tool, env={"STAND_IN_TOOL_FAIL": step}),
                                 (out, err, status))

    def test_without_a_command_it_says_how_to_run_it(self):
        self.assertEqual(self.run_demo(),
                         (b"", b"usage: tools/demo.sh COMMAND [ARGUMENT...]\n", 2))


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
