#!/usr/bin/env python3
"""Two release builds of the same source, in two fresh folders, one after the other, give the same
velkor-dpapi.exe, zip and checksum file, and the same npm tarballs (the platform package's, and
for the x64 release the client's, which pins both releases' executables), byte for byte. The builds
also differ in umask and time zone, and SOURCE_DATE_EPOCH is unset, so the release's time comes
from the source itself.

npm pack dates every entry of a tarball 1985-10-26 08:15:00 UTC and writes no owner, but it takes
each file's mode from the file: the release stages the files with fixed modes, which the second
build, made under umask 077, proves.

    reproducible_release.py --source DIR --name RELEASE [--toolchain FILE] [--generator NAME]
                            [--build-type TYPE] [--npm-platform win32-x64|win32-arm64]
                            [--arm64-release-dir DIR] [unittest arguments]

A difference is best read with diffoscope (Debian package diffoscope) on the two files named in
the failure.
"""

import argparse
import glob
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tarfile
import tempfile
import time
import unittest
import zipfile

# The helpers that the black-box, release and docs tests share.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from pe_image import PeImage

SOURCE = None
NAME = None
VERSION = None
CONFIGURE = []
NPM_PLATFORM = "win32-x64"

UNIX_TIME_FIELD = 0x5455  # a zip extra field: flags, then the modification time, UTC
NPM_PACK_TIME = 499162500  # 1985-10-26 08:15:00 UTC, the time npm pack gives every entry


def build(folder, umask, zone):
    """Configures, builds and packs the release in folder; returns its three files."""
    environment = {name: value for name, value in os.environ.items()
                   if name != "SOURCE_DATE_EPOCH" and not name.startswith("VELKOR_SIGN_")}
    environment["TZ"] = zone
    os.makedirs(folder)
    binary = os.path.join(folder, "build")
    for command in (["cmake", "-S", SOURCE, "-B", binary, "-DBUILD_TESTING=OFF"] + CONFIGURE,
                    ["cmake", "--build", binary],
                    ["cpack", "--config", os.path.join(binary, "CPackConfig.cmake"),
                     "-B", os.path.join(folder, "package")]):
        process = subprocess.run(command, env=environment, cwd=folder, capture_output=True,
                                 preexec_fn=lambda: os.umask(umask))
        if process.returncode != 0:
            raise RuntimeError("%s failed:\n%s%s" % (
                command, process.stdout.decode(errors="replace"),
                process.stderr.decode(errors="replace")))
    zip_path = os.path.join(folder, "package", NAME + ".zip")
    tarballs = sorted(glob.glob(os.path.join(folder, "package", "*.tgz")))
    return [os.path.join(binary, "velkor-dpapi.exe"), zip_path, zip_path + ".sha256"] + tarballs


def sha256(path):
    with open(path, "rb") as stream:
        return hashlib.sha256(stream.read()).hexdigest()


def unix_time(info):
    """The modification time in an entry's extended timestamp field, or None."""
    extra = info.extra
    while len(extra) >= 4:
        kind, size = struct.unpack_from("<HH", extra)
        if kind == UNIX_TIME_FIELD and size >= 5 and extra[4] & 1:
            return struct.unpack_from("<I", extra, 5)[0]
        extra = extra[4 + size:]
    return None


def source_time():
    """The time the release should carry: the last commit's in a git checkout, else the time of
    CMakeLists.txt."""
    top = subprocess.run(["git", "-C", SOURCE, "rev-parse", "--show-toplevel"],
                         capture_output=True, text=True)
    if top.returncode == 0 and os.path.realpath(top.stdout.strip()) == os.path.realpath(SOURCE):
        return int(subprocess.run(["git", "-C", SOURCE, "log", "-1", "--format=%ct"],
                                  capture_output=True, text=True, check=True).stdout)
    return int(os.stat(os.path.join(SOURCE, "CMakeLists.txt")).st_mtime)


class ReproducibleReleaseTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="velkor-reproducible-")
        first, second = os.path.join(cls.root, "first"), os.path.join(cls.root, "elsewhere")
        cls.first = build(first, 0o022, "UTC0")
        # A zip entry's time counts in 2-second steps: make sure the clock has moved past one.
        time.sleep(2)
        cls.second = build(second, 0o077, "KIR-14")
        cls.first_build = os.path.join(first, "build")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def test_both_builds_give_the_same_bytes(self):
        # The client package comes with the x64 release alone.
        packages = ["velkor-dpapi-%s-%s.tgz" % (NPM_PLATFORM, VERSION)]
        if NPM_PLATFORM == "win32-x64":
            packages.insert(0, "velkor-dpapi-%s.tgz" % VERSION)
        self.assertEqual([os.path.basename(path) for path in self.first[3:]], packages)
        self.assertEqual([os.path.basename(path) for path in self.first],
                         [os.path.basename(path) for path in self.second])
        for first, second in zip(self.first, self.second):
            print("  %s  %s" % (sha256(first), os.path.basename(first)), file=sys.stderr)
            with self.subTest(file=os.path.basename(first)):
                self.assertEqual(sha256(first), sha256(second),
                                 "differ; read it with: diffoscope %s %s" % (first, second))

    def test_the_exe_carries_no_debug_sections(self):
        with open(self.first[0], "rb") as stream:
            names = PeImage(stream.read()).section_names()
        self.assertEqual([name for name in names if name.startswith((".debug", "/"))], [])

    def test_npm_tarballs_carry_fixed_times_modes_and_no_owner(self):
        for path in self.first[3:] + self.second[3:]:
            with self.subTest(tarball=path):
                with open(path, "rb") as stream:
                    self.assertEqual(stream.read(8)[4:], b"\0\0\0\0", "gzip header time")
                with tarfile.open(path) as archive:
                    members = archive.getmembers()
                self.assertTrue(members)
                self.assertEqual(
                    [(m.name, m.type, m.mtime, m.mode, m.uid, m.gid, m.uname, m.gname)
                     for m in members],
                    [(m.name, tarfile.REGTYPE, NPM_PACK_TIME,
                      0o755 if m.name.endswith(".exe") else 0o644, 0, 0, "", "")
                     for m in members])

    def test_the_platform_package_holds_the_zips_exe(self):
        # The platform package is the last tarball, after the client package where there is one.
        with zipfile.ZipFile(self.first[1]) as archive:
            exe = archive.read(NAME + "/velkor-dpapi.exe")
        with tarfile.open(self.first[-1]) as archive:
            self.assertEqual(archive.extractfile("package/velkor-dpapi.exe").read(), exe)
        self.assertEqual(sha256(self.first[0]), hashlib.sha256(exe).hexdigest())

    def check_entry_times(self, zip_path, expected):
        with zipfile.ZipFile(zip_path) as archive:
            entries = archive.infolist()
        self.assertTrue(entries)
        utc = time.gmtime(expected - expected % 2)[:6]  # DOS times count in 2-second steps
        self.assertEqual({(info.filename, unix_time(info), info.date_time) for info in entries},
                         {(info.filename, expected, utc) for info in entries})

    def test_zip_entries_carry_the_source_time(self):
        self.check_entry_times(self.first[1], source_time())

    def test_source_date_epoch_from_the_environment_wins(self):
        folder = os.path.join(self.root, "epoch")
        epoch = 1234567891
        subprocess.run(["cpack", "--config", os.path.join(self.first_build, "CPackConfig.cmake"),
                        "-B", folder], env=dict(os.environ, SOURCE_DATE_EPOCH=str(epoch)),
                       capture_output=True, check=True)
        self.check_entry_times(os.path.join(folder, NAME + ".zip"), epoch)


def main():
    global SOURCE, NAME, VERSION, CONFIGURE, NPM_PLATFORM
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--name", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--toolchain", default="")
    parser.add_argument("--generator", default="")
    parser.add_argument("--build-type", default="Release")
    parser.add_argument("--npm-platform", choices=("win32-x64", "win32-arm64"),
                        default="win32-x64")
    parser.add_argument("--arm64-release-dir", default="",
                        help="where the ARM64 release's platform tarball is, which the x64 "
                             "release's client pins")
    args, rest = parser.parse_known_args()
    SOURCE, NAME, VERSION = os.path.abspath(args.source), args.name, args.version
    NPM_PLATFORM = args.npm_platform
    CONFIGURE = ["-DCMAKE_BUILD_TYPE=" + args.build_type]
    if args.toolchain:
        CONFIGURE.append("-DCMAKE_TOOLCHAIN_FILE=" + args.toolchain)
    if args.generator:
        CONFIGURE += ["-G", args.generator]
    if args.arm64_release_dir:
        CONFIGURE.append("-DVELKOR_NPM_ARM64_RELEASE_DIR=" + args.arm64_release_dir)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
