#!/usr/bin/env python3
"""The velkor-dpapi executable from outside, as the wallet drives it.

One table of command lines, inputs and exact expected standard output, standard error and exit
status, plus the runs whose output is a fresh sealed blob (round trips, tampering, limits). Every
run feeds and drains the tool through pipes. Expected texts are written with bare line feeds; on
Windows the runtime's text mode sends each as a carriage return and line feed.

    blackbox.py --tool PATH --platform windows|posix [--runner "wine" | --runner "valgrind ..."]
                [--sanitized] [--durability-log LIBRARY]
"""

import argparse
import errno
import json
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

# The helpers that the black-box, release and docs tests share.
SUPPORT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support")
sys.path.insert(0, SUPPORT)
import wine_session

try:
    import fcntl
    import resource
except ImportError:  # not on Windows
    fcntl = resource = None

TOOL = None
PLATFORM = None
RUNNER = []
SANITIZED = False  # a sanitizer build: dumpable for LeakSanitizer, and mlock does nothing
DURABILITY_LOG = None  # the library that logs the tool's fsync and link calls (durability_log.c)

USAGE = b"usage: velkor-dpapi protect|unprotect|selftest\n"
UNKNOWN = b"unknown command\n"
BAD_INPUT = b"bad input\n"
UNPROTECT_INVALID = b"DPAPI unprotect failed (error 13)\n"
WRITE_FAILED = b"write failed\n"

LARGEST_SECRET = 16777215  # bytes: 33,554,430 hex digits, the most the reader takes
TEXT_LIMIT = 33554431  # significant characters the reader holds; one more fails at once
LARGE_SECRET = 16 * 1024 * 1024 - 4096
# What the dynamic loader says, with status 127, when it runs out of memory before the tool
# starts: mapping a library, or the first thread's TLS block (where the limit falls depends on the
# size of the machine's loader cache).
LOADER_OUT_OF_MEMORY = (b"error while loading shared libraries",
                        b"cannot allocate TLS data structures for initial thread")
CONTROL_C_EXIT = 0xC000013A
# What glibc's allocator says, under Wine, when Wine's own signal handling has corrupted its heap:
# a failed assertion, or a check of the heap's consistency.
WINE_HEAP_CORRUPTED = re.compile(
    rb"(?m)^(?:Fatal glibc error: malloc|(?:malloc|free|realloc|_int_malloc|_int_free)\(\): )")  # STATUS_CONTROL_C_EXIT, as Windows ends an interrupted program

# (name, arguments, standard input, standard output, standard error, status). An expectation that
# differs by platform is a dict keyed by platform.
CASES = [
    ("no argument", [], b"", b"", USAGE, 2),
    ("two arguments", ["protect", "extra"], b"00", b"", USAGE, 2),
    ("selftest and more", ["selftest", "x"], b"", b"", USAGE, 2),
    ("upper case", ["PROTECT"], b"00", b"", UNKNOWN, 2),
    ("capitalised", ["Protect"], b"00", b"", UNKNOWN, 2),
    ("leading space", [" protect"], b"00", b"", UNKNOWN, 2),
    ("empty argument", [""], b"00", b"", UNKNOWN, 2),
    ("upper-case selftest", ["SELFTEST"], b"", b"", UNKNOWN, 2),
    ("selftest", ["selftest"], b"", b"ok\n", b"", 0),
    ("odd digit count", ["protect"], b"abc", b"", BAD_INPUT, 3),
    ("tab", ["protect"], b"00\t11", b"", BAD_INPUT, 3),
    ("0x prefix", ["protect"], b"0x00", b"", BAD_INPUT, 3),
    ("byte 0xC3", ["protect"], b"00\xc3\xa9", b"", BAD_INPUT, 3),
    ("byte 0xFF", ["unprotect"], b"\xff\xff", b"", BAD_INPUT, 3),
    ("no digit", ["unprotect"], b"zz", b"", BAD_INPUT, 3),
    ("odd count for unprotect", ["unprotect"], b"0", b"", BAD_INPUT, 3),
    ("not a blob", ["unprotect"], b"00ff00ff", b"", UNPROTECT_INVALID, 4),
    ("empty blob", ["unprotect"], b"\n", b"", UNPROTECT_INVALID, 4),
    # Input from a pipe is read byte for byte on Windows too: 0x1A ends nothing, it is no digit.
    ("byte 0x1A", ["unprotect"], b"\x1a", b"", BAD_INPUT, 3),
    ("0x1A inside", ["protect"], b"0011\x1a2233", b"", BAD_INPUT, 3),
    ("0x1A first", ["protect"], b"\x1a0011", b"", BAD_INPUT, 3),
    ("0x1A before an odd digit", ["protect"], b"00\x1a1", b"", BAD_INPUT, 3),
    # Sessions of one go: every request answered in order, a last line without its line feed
    # included, and the session goes on after each error.
    ("session of nothing", ["session"], b"", b"", b"", 0),
    ("session of bad requests", ["session"],
     b"PROTECT 00\n\nprotect abc\nprotect 0x00\nunprotect 00ff00ff\nunprotect",
     b"error 2 unknown command\nerror 2 unknown command\nerror 3 bad input\nerror 3 bad input\n"
     b"error 4 DPAPI unprotect failed (error 13)\nerror 4 DPAPI unprotect failed (error 13)\n",
     b"", 0),
    ("session and more", ["session", "x"], b"", b"", USAGE, 2),
    ("upper-case session", ["SESSION"], b"", b"", UNKNOWN, 2),
    # Shaped like a blob of the POSIX stand-in: there it needs a key, and a fresh profile has none.
    ("blob but no key", ["unprotect"], b"564b445001" + b"00" * 44, b"",
     {"windows": UNPROTECT_INVALID, "posix": b"DPAPI unprotect failed (error 2148073483)\n"}, 4),
]


# Run by gdb while the tool is stopped: counts the places in its readable memory that hold the
# secret's hex, and the secret's bytes.
MEMORY_SCAN = """
import gdb
import json
import sys

sys.path.insert(0, %(tests)r)
from process_memory import find_secret

def scan():
    found = find_secret(gdb.selected_inferior().pid, bytes.fromhex("%(secret)s"))
    print("found " + json.dumps(found))
"""


def scanned(output):
    # What MEMORY_SCAN printed: the pieces of the secret it found, as {"hex": [(start, end)],
    # "bytes": [...]}, and where they were, to be told on a failure.
    found = re.search(rb"^found (.*)$", output, re.M)
    if found is None:
        return None, output.decode(errors="replace")
    runs = json.loads(found.group(1))
    return ({what: [(start, end) for _, start, end in runs[what]] for what in runs},
            "; ".join("%s %d-%d at %#x" % (what, start, end, address)
                      for what in runs for address, start, end in runs[what]))


def wait_for_pipe(end, done, failure):
    # Until `done(bytes held in the pipe, its capacity)`, for at most 60 s.
    import termios  # POSIX only
    capacity = fcntl.fcntl(end, 1032)  # F_GETPIPE_SZ
    for _ in range(600):
        held = int.from_bytes(fcntl.ioctl(end, termios.FIONREAD, b"\0" * 4), sys.byteorder)
        if done(held, capacity):
            return
        time.sleep(0.1)
    raise AssertionError(failure)


def feed_quietly(stream, data):
    # Writes `data` and closes the stream; a tool that stopped reading is no error of the test's.
    try:
        stream.write(data)
        stream.close()
    except OSError:
        pass


def line_ends(text):
    return text.replace(b"\n", b"\r\n") if PLATFORM == "windows" else text


def shorten(value):
    text = repr(value)
    return text if len(text) <= 300 else text[:150] + " ... " + text[-150:]


def environment(home):
    env = dict(os.environ, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    if PLATFORM == "posix":  # the stand-in keeps its key in the profile; Wine has its own prefix
        env["HOME"] = home
        env.pop("XDG_DATA_HOME", None)
    return env


class ToolTest(unittest.TestCase):
    def setUp(self):
        self.fresh_home()

    def fresh_home(self):
        # A profile of its own, for a platform that keeps its keys there.
        self.home = tempfile.mkdtemp(prefix="velkor-blackbox-")
        self.addCleanup(shutil.rmtree, self.home, ignore_errors=True)

    def run_tool(self, args, data=b"", stdin=None, timeout=600):
        # Either bytes piped in, or a descriptor of the test's own as standard input.
        feed = {"input": data} if stdin is None else {"stdin": stdin}
        result = subprocess.run(RUNNER + [TOOL] + args, capture_output=True,
                                env=environment(self.home), timeout=timeout, **feed)
        return result.stdout, result.stderr, result.returncode

    def assert_run(self, run, out, err, status):
        out, err, status = (v[PLATFORM] if isinstance(v, dict) else v for v in (out, err, status))
        expected = (line_ends(out), line_ends(err), status)
        if run != expected:
            self.fail("got %s, expected %s" % (shorten(run), shorten(expected)))

    def protect(self, secret):
        out, err, status = self.run_tool(["protect"], secret.hex().encode())
        self.assertEqual((err, status), (b"", 0))
        self.assertTrue(re.fullmatch(rb"(?:[0-9a-f]{2})+" + re.escape(line_ends(b"\n")), out),
                        shorten(out))
        return bytes.fromhex(out.decode())

    def assert_opens_to(self, blob, secret):
        self.assert_run(self.run_tool(["unprotect"], blob.hex().encode()),
                        secret.hex().encode() + b"\n", b"", 0)

    def test_table(self):
        for name, args, data, out, err, status in CASES:
            with self.subTest(name):
                self.fresh_home()
                self.assert_run(self.run_tool(args, data), out, err, status)

    def test_round_trips(self):
        for secret in (b"", b"\x00", b"velkor\x00\xff" * 5, os.urandom(LARGE_SECRET)):
            with self.subTest(length=len(secret)):
                self.assert_opens_to(self.protect(secret), secret)

    def test_input_layout_does_not_matter(self):
        # Any case, whitespace anywhere, even between the two digits of one byte.
        secret = bytes(range(256))
        text = secret.hex().upper().encode()
        spaced = b"\r\n ".join(text[i:i + 3] for i in range(0, len(text), 3)) + b"\n"
        out, err, status = self.run_tool(["protect"], spaced)
        self.assertEqual((err, status), (b"", 0))
        self.assert_opens_to(bytes.fromhex(out.decode()), secret)
        self.assert_run(self.run_tool(["unprotect"], out.replace(b"\n", b" \n").upper()),
                        secret.hex().encode() + b"\n", b"", 0)

    def test_changed_blob_does_not_open(self):
        blob = self.protect(b"wallet seed \x01\x02\x03")
        for name, changed in (("last byte flipped", blob[:-1] + bytes([blob[-1] ^ 1])),
                              ("first byte flipped", bytes([blob[0] ^ 0x80]) + blob[1:]),
                              ("cut short", blob[:-1]),
                              ("half", blob[:len(blob) // 2])):
            with self.subTest(name):
                self.assert_run(self.run_tool(["unprotect"], changed.hex().encode()),
                                b"", UNPROTECT_INVALID, 4)

    def test_largest_secret_seals_but_its_blob_is_over_the_limit(self):
        secret = os.urandom(LARGEST_SECRET)
        blob = self.protect(secret)
        self.assertGreater(len(blob), LARGEST_SECRET)
        self.assert_run(self.run_tool(["unprotect"], blob.hex().encode()), b"", BAD_INPUT, 3)

    def test_text_over_the_limit_fails_before_end_of_input(self):
        # The writer keeps the pipe open: only the limit itself can end the run.
        text = b"ab" * (TEXT_LIMIT // 2) + b"\r\n" + b"aa" + b"cd" * 1000

        def feed(stream):
            try:
                stream.write(text)
                stream.flush()
            except OSError:  # the tool has stopped reading
                pass

        process = subprocess.Popen(RUNNER + [TOOL, "protect"], stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   env=environment(self.home))
        writer = threading.Thread(target=feed, args=(process.stdin,))
        writer.start()
        try:
            status = process.wait(timeout=300)
            out, err = process.stdout.read(), process.stderr.read()
        finally:
            process.kill()
            writer.join()
            for stream in (process.stdin, process.stdout, process.stderr):
                try:
                    stream.close()
                except OSError:
                    pass
        self.assertEqual((out, err, status), (b"", line_ends(BAD_INPUT), 3))

    def test_wrong_command_lines_leave_input_unread(self):
        for args in ([], ["protect", "extra"], ["Protect"], ["selftest"]):
            with self.subTest(args=args):
                read_end, write_end = os.pipe()
                os.write(write_end, b"0102\n")
                try:
                    # The writer stays open: a tool that wrongly reads waits for more, so the
                    # run is bounded to fail in seconds rather than stall the suite.
                    self.run_tool(args, stdin=read_end, timeout=30)
                    os.close(write_end)
                    write_end = None
                    self.assertEqual(os.read(read_end, 100), b"0102\n")
                finally:
                    os.close(read_end)
                    if write_end is not None:
                        os.close(write_end)

    def test_read_error_is_bad_input(self):
        # Reading a directory fails: that is not the end of an empty input to seal.
        directory = os.open(self.home, os.O_RDONLY)
        try:
            for command in ("protect", "session"):
                with self.subTest(command):
                    self.assert_run(self.run_tool([command], stdin=directory), b"", BAD_INPUT, 3)
        finally:
            os.close(directory)

    def test_no_core_dump_can_hold_a_secret(self):
        # Checked on a tool that is waiting for the rest of its input.
        if PLATFORM != "posix" or RUNNER or not os.path.exists("/proc/self/limits"):
            self.skipTest("needs the native tool itself and /proc")
        _, hard = resource.getrlimit(resource.RLIMIT_CORE)
        if hard == 0:
            self.skipTest("core files are already off here")
        # Started with core files allowed, so only the tool itself can turn them off.
        process = subprocess.Popen([TOOL, "protect"], stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   env=environment(self.home),
                                   preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_CORE,
                                                                         (hard, hard)))
        try:
            process.stdin.write(b"5ec2e7")
            process.stdin.flush()
            limits = ""
            for _ in range(100):  # until the tool has set its limit, or 10 s have passed
                with open("/proc/%d/limits" % process.pid) as f:
                    limits = f.read()
                if re.search(r"^Max core file size +0 +0 ", limits, re.M):
                    break
                threading.Event().wait(0.1)
            self.assertRegex(limits, r"(?m)^Max core file size +0 +0 ")
            _, err = process.communicate(b"\n", timeout=60)
            self.assertEqual((err, process.returncode), (b"", 0))
        finally:
            process.kill()
            process.wait()

    @staticmethod
    def feed_and_wait_until_read(process, data):
        process.stdin.write(data)
        process.stdin.flush()
        wait_for_pipe(process.stdin, lambda held, _: held == 0, "the tool never read its input")

    def test_a_waiting_tool_holds_its_input_locked_in_memory(self):
        # Out of swap: the text block the input is read into is locked as it fills.
        if PLATFORM != "posix" or RUNNER or SANITIZED or not os.path.exists("/proc/self/status"):
            self.skipTest("needs the native tool itself, without sanitizers (to which mlock is a "
                          "no-op), and /proc")
        process = subprocess.Popen([TOOL, "protect"], stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   env=environment(self.home))
        try:
            self.feed_and_wait_until_read(process, b"5ec2e7")
            with open("/proc/%d/status" % process.pid) as status:
                locked_kib = int(re.search(r"^VmLck:\s+(\d+) kB", status.read(), re.M).group(1))
            self.assertGreaterEqual(locked_kib, 64, "the first 64 KiB text block")
            _, err = process.communicate(b"\n", timeout=60)
            self.assertEqual((err, process.returncode), (b"", 0))
        finally:
            process.kill()
            process.wait()

    def test_no_copy_of_the_secret_outlives_its_use(self):
        # The tool stopped under gdb and its whole memory read: as the platform call seals, the
        # secret is there only as the bytes it is given, nowhere as the hex it came in (standard
        # input's buffer included); and once the opened secret has been written out and is being
        # released, it is nowhere at all.
        if PLATFORM != "posix" or RUNNER or SANITIZED or not shutil.which("gdb"):
            self.skipTest("needs the native tool itself, without sanitizers, and gdb")
        if os.geteuid() != 0:
            self.skipTest("reading a non-dumpable process's memory needs root")
        secret = os.urandom(128)  # whole cipher blocks: the stand-in's cipher copies no tail
        folder = tempfile.mkdtemp(prefix="velkor-memory-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        paths = {name: os.path.join(folder, name) for name in ("in", "blob", "out", "scan.py")}
        with open(paths["in"], "wb") as stream:
            stream.write(secret.hex().encode() + b"\n")
        with open(paths["scan.py"], "w") as stream:
            stream.write(MEMORY_SCAN % {"secret": secret.hex(), "tests": SUPPORT})
        with open(paths["in"], "rb") as stream:
            blob = subprocess.run([TOOL, "protect"], stdin=stream, capture_output=True,
                                  env=environment(self.home), timeout=60).stdout
        with open(paths["blob"], "wb") as stream:
            stream.write(blob)
        for command, stop, expected in (
                ("protect", "CryptProtectData", {"hex": [], "bytes": [(0, len(secret))]}),
                ("unprotect", "LocalFree", {"hex": [], "bytes": []})):
            with self.subTest(command):
                source = paths["in"] if command == "protect" else paths["blob"]
                result = subprocess.run(
                    ["gdb", "-batch", "-nx", "-ex", "source " + paths["scan.py"],
                     "-ex", "break " + stop,
                     "-ex", "run %s < %s > %s" % (command, source, paths["out"]),
                     "-ex", "python scan()", "-ex", "kill", TOOL],
                    capture_output=True, env=environment(self.home), timeout=120)
                found, where = scanned(result.stdout + result.stderr)
                self.assertEqual(found, expected, where)

    def test_no_process_of_the_same_user_can_read_a_waiting_tool(self):
        if PLATFORM != "posix" or RUNNER or SANITIZED or not os.path.exists("/proc/self/mem"):
            self.skipTest("needs the native tool itself, without sanitizers, and /proc")
        # Root may read any process, so the mark shows only between processes of another user.
        as_user = []
        folder = tempfile.mkdtemp(prefix="velkor-dumpable-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        tool = shutil.copy(TOOL, folder)
        if os.geteuid() == 0:
            as_user = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
            os.chmod(folder, 0o755)
        process = subprocess.Popen(as_user + [tool, "protect"], stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   env=environment(self.home))
        try:
            # Once the tool has taken these bytes from the pipe, its start-up is behind it.
            self.feed_and_wait_until_read(process, b"5ec2e7")
            proc = "/proc/%d/" % process.pid
            with self.subTest("its /proc files belong to root"):
                self.assertEqual(os.stat(proc + "mem").st_uid, 0)
            for name, reader, target in (("attach to its memory", 'exec 3< "$1"', "mem"),
                                         ("read its environment", 'cat "$1" >/dev/null', "environ")):
                with self.subTest(name):
                    read = subprocess.run(as_user + ["sh", "-c", reader, "sh", proc + target],
                                          capture_output=True, timeout=60)
                    self.assertNotEqual(read.returncode, 0, read.stderr)
                    self.assertIn(b"Permission denied", read.stderr)
        finally:
            process.kill()
            process.communicate()

    def interrupted(self, command, data, delay=0.0, read_first=0):
        # SIGINT `delay` seconds into the run, after the test has read `read_first` bytes of the
        # output (the reader pauses there, so the tool waits on a full pipe); then the rest is
        # drained. Returns standard output, standard error and the status, None for a run still
        # going after 15 s (a healthy one ends within a second or two).
        process = subprocess.Popen(RUNNER + [TOOL, command], stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   env=environment(self.home))
        threading.Thread(target=feed_quietly, args=(process.stdin, data), daemon=True).start()
        errors = []
        drainers = [threading.Thread(target=lambda: errors.append(process.stderr.read()),
                                     daemon=True)]
        drainers[0].start()
        output = [process.stdout.read(read_first)]
        time.sleep(delay)
        process.send_signal(signal.SIGINT)
        drainers.append(threading.Thread(target=lambda: output.append(process.stdout.read()),
                                         daemon=True))
        drainers[1].start()
        try:
            status = process.wait(timeout=15)
        except subprocess.TimeoutExpired:
            status = None
            process.kill()
            process.wait()
        for drainer in drainers:
            drainer.join(30)
        # A pipe another process still holds would block closing it under its reader: fail then.
        self.assertFalse(any(drainer.is_alive() for drainer in drainers),
                         "the run's pipes stayed open 30 s after it ended (status %s)" % status)
        process.stdout.close()
        process.stderr.close()
        return b"".join(output), b"".join(errors), status

    def test_an_interrupted_run_is_never_a_success(self):
        # Ctrl-C at any moment of a run, start-up included, and while the tool waits for a reader
        # that paused after the first megabyte: status 0 only with the whole line, never a hang.
        if sys.platform == "win32":
            self.skipTest("a console event on a Windows host needs a console of the test's own")
        if RUNNER and PLATFORM == "posix":
            self.skipTest("the runner, not the tool, would take the signal")
        interrupted = {-signal.SIGINT, CONTROL_C_EXIT & 0xFF if PLATFORM == "windows" else None}
        secret = os.urandom(4 << 20)
        blob = self.protect(secret)
        whole_line = line_ends(secret.hex().encode() + b"\n")
        started = time.monotonic()
        self.protect(b"velkor")
        run_time = time.monotonic() - started
        tries = [("protect", b"76656c6b6f72", run_time * (i + 0.5) / 24, 0, None) for i in range(24)]
        tries += [("unprotect", blob.hex().encode(), 0.2, 1 << 20, whole_line)] * 3
        for command, data, delay, read_first, expected in tries:
            out, err, status = self.interrupted(command, data, delay, read_first)
            moment = "%s, %.3f s in, after %d bytes read" % (command, delay, read_first)
            if PLATFORM == "windows" and WINE_HEAP_CORRUPTED.search(err):
                # Wine's own SIGINT handler, before any code of the tool's can act, allocates
                # while the signal may have interrupted the C library's allocator (Wine starting
                # the process or loading a DLL): its heap is corrupted, and the process hangs or
                # dies as Wine's abort goes. Out of the tool's reach; a caller's deadline ends it.
                sys.stderr.write("note: Wine corrupted its own heap on SIGINT, %s: status %s\n"
                                 % (moment, status))
                continue
            self.assertIsNotNone(status, "hung: %s; standard error %r" % (moment, err))
            self.assertEqual(err, b"", moment)
            if status == 0:
                if expected is None:
                    self.assertRegex(out, rb"^(?:[0-9a-f]{2})+" + re.escape(line_ends(b"\n")) + b"$",
                                     moment)
                else:
                    self.assertEqual(out, expected, moment)
            else:
                self.assertIn(status, interrupted, moment)

    def test_a_reader_that_leaves_early_changes_nothing(self):
        # It has stopped listening: no failure of the tool's, and never a death by signal.
        read_end, write_end = os.pipe()
        os.close(read_end)
        try:
            process = subprocess.Popen(RUNNER + [TOOL, "protect"], stdin=subprocess.PIPE,
                                       stdout=write_end, stderr=subprocess.PIPE,
                                       env=environment(self.home))
        finally:
            os.close(write_end)
        _, err = process.communicate(os.urandom(1 << 20).hex().encode(), timeout=300)
        self.assertEqual((err, process.returncode), (b"", 0))

    def run_into(self, args, data, stdout, limits=()):
        # Standard output on a descriptor of the test's own; None for none at all.
        def child_setup():
            for limit, value in limits:
                resource.setrlimit(limit, (value, value))
            if stdout is None:
                os.close(1)
        result = subprocess.run(RUNNER + [TOOL] + args, input=data, capture_output=False,
                                stdout=stdout if stdout is not None else subprocess.DEVNULL,
                                stderr=subprocess.PIPE, env=environment(self.home), timeout=300,
                                preexec_fn=child_setup)
        return result.stderr, result.returncode

    def test_a_result_that_does_not_arrive_is_status_5(self):
        # Standard output may then hold part of the line: the status tells the caller not to use
        # it. The self-test's verdict follows the same rule.
        secret = os.urandom(100000)
        commands = (("protect", secret.hex().encode()),
                    ("unprotect", self.protect(secret).hex().encode()), ("selftest", b""),
                    ("session", b"protect " + secret.hex().encode() + b"\nprotect 00\n"))
        scratch = tempfile.mkdtemp(prefix="velkor-output-")
        self.addCleanup(shutil.rmtree, scratch, ignore_errors=True)
        with open(os.path.join(scratch, "file"), "wb"):
            pass
        targets = [("a full device", lambda: open("/dev/full", "wb"), ()),
                   ("a read-only descriptor", lambda: open(os.path.join(scratch, "file"), "rb"),
                    ()),
                   ("no descriptor", lambda: None, ())]
        if PLATFORM == "posix" and not RUNNER:  # the limit would hold the runner's files too
            # Over the file-size limit a write fails, rather than the signal killing the tool;
            # the first two bytes get through.
            targets.append(("the file-size limit",
                            lambda: open(os.path.join(scratch, "file"), "wb"),
                            ((resource.RLIMIT_FSIZE, 2),)))
        disk = os.path.join(scratch, "disk")
        os.mkdir(disk)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", disk],
                          capture_output=True).returncode == 0:
            self.addCleanup(subprocess.run, ["umount", disk])
            with open(os.path.join(disk, "filler"), "wb") as filler:
                try:
                    filler.write(b"\0" * 65536 * 2)
                except OSError:  # the disk is full: no byte of the tool's will fit
                    pass
            targets.append(("a full disk", lambda: open(os.path.join(disk, "file"), "wb"), ()))
        for name, open_target, limits in targets:
            for command, data in commands:
                with self.subTest(name, command=command):
                    target = open_target()
                    try:
                        run = self.run_into([command], data, target, limits)
                    finally:
                        if target is not None:
                            target.close()
                    self.assertEqual(run, (line_ends(WRITE_FAILED), 5))

    def test_non_blocking_pipes_are_waited_on(self):
        # A caller may hand over pipes it made non-blocking: a slow reader and a late writer are
        # waited for, and not one byte is lost.
        if fcntl is None:
            self.skipTest("needs POSIX pipes")
        secret = os.urandom(300000)

        def non_blocking(fd):
            fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) | os.O_NONBLOCK)
            return fd

        read_end, write_end = os.pipe()
        process = subprocess.Popen(RUNNER + [TOOL, "protect"], stdin=subprocess.PIPE,
                                   stdout=non_blocking(write_end), stderr=subprocess.PIPE,
                                   env=environment(self.home))
        os.close(write_end)
        process.stdin.write(secret.hex().encode())
        process.stdin.close()
        # Read only once the pipe has no room for another page (writes of up to a page go in
        # whole or not at all): the tool has met a full pipe, and must wait.
        wait_for_pipe(read_end, lambda held, size: held > size - 4096,
                      "the output never filled the pipe")
        with os.fdopen(read_end, "rb") as output:
            blob = output.read()
        self.assertEqual((process.stderr.read(), process.wait(timeout=300)), (b"", 0))
        process.stderr.close()
        self.assert_run(self.run_tool(["unprotect"], blob), secret.hex().encode() + b"\n", b"", 0)

        read_end, write_end = os.pipe()
        process = subprocess.Popen(RUNNER + [TOOL, "unprotect"], stdin=non_blocking(read_end),
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   env=environment(self.home))
        os.close(read_end)
        time.sleep(0.3)  # nothing to read yet
        with os.fdopen(write_end, "wb") as feed:
            try:
                feed.write(blob)
            except BrokenPipeError:  # the tool gave up early: its output tells why
                pass
        out, err = process.communicate(timeout=300)
        self.assert_run((out, err, process.returncode), secret.hex().encode() + b"\n", b"", 0)

    def test_key_folders_are_usable_whatever_the_umask(self):
        # The folders a first seal makes are the user's alone (0700) whatever the umask, so the
        # seal works and every later run does too; folders that were there keep their modes. Run
        # as a user without privileges, for whom a folder without search permission is a wall.
        if PLATFORM != "posix" or RUNNER:
            self.skipTest("the stand-in's key, with the native tool itself")
        as_user = []
        if os.geteuid() == 0:
            as_user = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
        folder = tempfile.mkdtemp(prefix="velkor-umask-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        os.chmod(folder, 0o755)
        tool = shutil.copy(TOOL, folder)

        def run(home, umask, command, data):
            result = subprocess.run(as_user + [tool, command], input=data, capture_output=True,
                                    env=environment(home), timeout=60,
                                    preexec_fn=lambda: os.umask(umask))
            return result.stdout, result.stderr, result.returncode

        secret = b"76656c6b6f72"
        chain = (".local", ".local/share", ".local/share/velkor-dpapi")
        for umask, existing in ((0o177, 0), (0o277, 1), (0o377, 2), (0o777, 0)):
            with self.subTest(umask=oct(umask), existing=chain[:existing]):
                home = tempfile.mkdtemp(prefix="home-", dir=folder)
                for name in chain[:existing]:
                    os.mkdir(os.path.join(home, name), 0o751)
                    os.chmod(os.path.join(home, name), 0o751)
                if as_user:
                    for place, _, _ in os.walk(home):
                        os.chown(place, 65534, 65534)
                out, err, status = run(home, umask, "protect", secret)
                self.assertEqual((err, status), (b"", 0))
                modes = [oct(os.stat(os.path.join(home, name)).st_mode & 0o7777)
                         for name in chain]
                self.assertEqual(modes, ["0o751"] * existing + ["0o700"] * (3 - existing))
                for later in (0o777, 0o022):
                    self.assertEqual(run(home, later, "unprotect", out), (secret + b"\n", b"", 0))

    def test_concurrent_first_seals_under_a_strict_umask_all_succeed(self):
        # A folder one first seal has just made must already be usable by every other first seal
        # of the same profile: with umask 0777 a folder made with the umask's help has no
        # permission at all until its maker sets its mode, and a run that makes a folder inside
        # it, or looks for the key there, in that moment fails. The window is short, so: many
        # rounds, each a handful of seals held at one barrier (a shared standard input, closed
        # once every run waits on it) and let go at once. Run as a user without privileges, for
        # whom a folder without permissions is a wall.
        if PLATFORM != "posix" or RUNNER:
            self.skipTest("the stand-in's key, with the native tool itself")
        as_user = {}
        if os.geteuid() == 0:
            as_user = {"user": 65534, "group": 65534, "extra_groups": []}
        folder = tempfile.mkdtemp(prefix="velkor-race-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        os.chmod(folder, 0o755)
        tool = shutil.copy(TOOL, folder)

        def waiting(process):
            # Asleep, as on the empty pipe; a run still starting is mostly running.
            try:
                with open("/proc/%d/stat" % process.pid) as stat:
                    return stat.read().rsplit(")", 1)[1].split()[0] == "S"
            except OSError:
                return False

        chain = (".local", ".local/share", ".local/share/velkor-dpapi")
        for round_number in range(40):
            home = tempfile.mkdtemp(prefix="home-", dir=folder)
            if as_user:
                os.chown(home, 65534, 65534)
            read_end, write_end = os.pipe()
            try:
                runs = [subprocess.Popen([tool, "protect"], stdin=read_end,
                                         stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                         env=environment(home), umask=0o777, **as_user)
                        for _ in range(8)]
            finally:
                os.close(read_end)
            # Let go once all have slept a few polls in a row (or after 2 s: a slow start only
            # weakens the round).
            settled = 0
            for _ in range(400):
                settled = settled + 1 if all(waiting(run) for run in runs) else 0
                if settled == 3:
                    break
                time.sleep(0.005)
            os.close(write_end)  # every run reads the empty secret
            results = []
            for run in runs:
                out, err = run.communicate(timeout=60)
                results.append((out, err, run.returncode))
            with self.subTest(round=round_number):
                self.assertEqual([(err, status) for _, err, status in results],
                                 [(b"", 0)] * len(runs))
                modes = [oct(os.stat(os.path.join(home, name)).st_mode & 0o7777)
                         for name in chain]
                self.assertEqual(modes, ["0o700"] * 3)
                result = subprocess.run([tool, "unprotect"], input=results[0][0],
                                        capture_output=True, env=environment(home), timeout=60,
                                        **as_user)
                self.assertEqual((result.stdout, result.stderr, result.returncode),
                                 (b"\n", b"", 0))

    def test_a_first_seal_without_proc_makes_a_durable_key(self):
        # Without /proc (a container without it) the unnamed key file cannot be linked to its
        # name through /proc/self/fd: the seal must notice and make the key through a named
        # temporary file instead, as durable (its bytes flushed before it takes its name, its
        # folder after) and leaving no temporary file. /proc is hidden under an empty tmpfs in a
        # mount namespace of the test's own; the durability log library, preloaded into the tool
        # alone, records every fsync and link.
        if PLATFORM != "posix" or RUNNER:
            self.skipTest("the stand-in's key, with the native tool itself")
        if SANITIZED:
            self.skipTest("the sanitizers' runtime needs /proc itself (the plain build runs it)")
        if os.geteuid() != 0:
            self.skipTest("making a mount namespace needs root")
        if not DURABILITY_LOG or not os.path.exists(DURABILITY_LOG):
            self.fail("no durability log library at %r (build the durability_log target, or "
                      "pass --durability-log)" % DURABILITY_LOG)
        logs = tempfile.mkdtemp(prefix="velkor-durability-")
        self.addCleanup(shutil.rmtree, logs, ignore_errors=True)
        log = os.path.join(logs, "protect.log")
        without_proc = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                        'mount -t tmpfs -o size=4k,mode=0555 velkor-no-proc /proc || exit 99; '
                        'test -e /proc/self && exit 98; '
                        'export LD_PRELOAD="$VELKOR_PRELOAD"; exec "$0" "$@"', TOOL]
        env = dict(environment(self.home), VELKOR_PRELOAD=DURABILITY_LOG,
                   VELKOR_DURABILITY_LOG=log)
        secret = b"76656c6b6f72"
        result = subprocess.run(without_proc + ["protect"], input=secret, capture_output=True,
                                env=env, timeout=60)
        self.assertEqual((result.stderr, result.returncode), (b"", 0))
        blob = result.stdout

        folder = os.path.join(self.home, ".local", "share", "velkor-dpapi")
        key = os.path.join(folder, "master.key")
        self.assertEqual(os.listdir(folder), ["master.key"])  # no temporary file left
        info = os.lstat(key)
        self.assertEqual((oct(info.st_mode), info.st_size, info.st_uid),
                         (oct(0o100600), 32, os.geteuid()))

        names = {}
        for name, path in (("home", self.home), (".local", os.path.join(self.home, ".local")),
                           ("share", os.path.join(self.home, ".local", "share")),
                           ("folder", folder), ("key", key)):
            place = os.stat(path)
            names[(place.st_dev, place.st_ino)] = name
        seen = []
        with open(log) as lines:
            for line in lines:
                fields = line.split()
                file = names.get((int(fields[-2]), int(fields[-1])), "another file")
                if fields[0] == "fsync":
                    seen.append("fsync " + file)
                elif fields[1] == "0":
                    seen.append(fields[0] + " " + file)
                else:
                    seen.append("%s failed %s" % (fields[0], errno.errorcode[int(fields[1])]))
        # The made folders flushed into their parents; the unnamed file written and flushed, its
        # link through /proc failing; then the named file flushed, linked, and its folder flushed.
        # The unnamed file's inode, freed, may be the named one's again.
        self.assertIn(seen[3:4], (["fsync another file"], ["fsync key"]), seen)
        self.assertEqual(seen[:3] + seen[4:],
                         ["fsync home", "fsync .local", "fsync share", "linkat failed ENOENT",
                          "fsync key", "link key", "fsync folder"])

        env.pop("VELKOR_DURABILITY_LOG")
        opened = subprocess.run(without_proc + ["unprotect"], input=blob, capture_output=True,
                                env=env, timeout=60)
        self.assertEqual((opened.stdout, opened.stderr, opened.returncode),
                         (secret + b"\n", b"", 0))

    def test_key_storage_never_hangs_aborts_or_leaves_debris(self):
        if PLATFORM != "posix":
            self.skipTest("the stand-in's key")
        folder = os.path.join(self.home, ".local", "share", "velkor-dpapi")
        blob_shaped = b"564b445001" + b"00" * 44

        with self.subTest("a FIFO in place of the key"):
            os.makedirs(folder, mode=0o700)
            os.mkfifo(os.path.join(folder, "master.key"), 0o600)
            for args, data, err in ((["protect"], b"00", b"DPAPI protect failed (error 5)\n"),
                                    (["unprotect"], blob_shaped,
                                     b"DPAPI unprotect failed (error 5)\n"),
                                    (["selftest"], b"", b"protect failed 5\n")):
                self.assert_run(self.run_tool(args, data, timeout=30), b"", err, 4)

        with self.subTest("no file may grow"):
            # The key cannot be written: a failure, and no temporary key left behind.
            self.fresh_home()
            if RUNNER:
                self.skipTest("the limit would hold the runner too")
            run = self.run_into(["protect"], b"00", subprocess.PIPE,
                                ((resource.RLIMIT_FSIZE, 0),))
            self.assertEqual(run, (b"DPAPI protect failed (error 5)\n", 4))
            files = [name for _, _, names in os.walk(self.home) for name in names]
            self.assertEqual(files, [])

    def test_running_out_of_memory_is_a_reported_failure(self):
        # Under ever smaller address-space limits, down to where the tool can no longer start:
        # every run ends with one of its own outcomes, never an abort.
        if PLATFORM != "posix" or RUNNER or SANITIZED:
            self.skipTest("needs the native tool itself, without sanitizers")
        allowed = {
            "selftest": {(b"ok\n", b"", 0), (b"", b"protect failed 8\n", 4),
                         (b"", b"unprotect failed 8\n", 4)},
            "protect": {(b"sealed", b"", 0), (b"", BAD_INPUT, 3),
                        (b"", b"DPAPI protect failed (error 8)\n", 4)},
        }
        seen = set()
        for limit_kib in range(16384, 1024, -64):
            started = False
            for command, data in (("selftest", b""), ("protect", b"5ec2e7" * 100)):
                result = subprocess.run(
                    [TOOL, command], input=data, capture_output=True, timeout=60,
                    env=environment(self.home),
                    preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_AS,
                                                          (limit_kib << 10, limit_kib << 10)))
                if result.returncode == 127 and any(
                        message in result.stderr for message in LOADER_OUT_OF_MEMORY):
                    continue  # the loader itself ran out: the tool never started
                started = True
                out = b"sealed" if re.fullmatch(rb"[0-9a-f]+\n", result.stdout) else result.stdout
                self.assertIn((out, result.stderr, result.returncode), allowed[command],
                              "%s under %d KiB" % (command, limit_kib))
                seen.add(result.returncode)
            if not started:
                break
        self.assertIn(4, seen, "no limit was low enough to fail an allocation")


def suite_arguments(add_arguments=lambda parser: None):
    """The command line of a black-box suite (this one, or one that takes its helpers): sets this
    module's settings from it, and under Wine holds a session; returns the parsed arguments (with
    any that add_arguments added), the rest for unittest, and the session, which the suite keeps
    until it ends."""
    global TOOL, PLATFORM, RUNNER, SANITIZED, DURABILITY_LOG
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--platform", choices=("windows", "posix"), required=True)
    parser.add_argument("--runner", default="", help="command line that runs the tool")
    parser.add_argument("--sanitized", action="store_true", help="the tool has sanitizers")
    parser.add_argument("--durability-log",
                        help="durability_log library (default: tests/ beside the tool)")
    add_arguments(parser)
    args, rest = parser.parse_known_args()
    TOOL, PLATFORM, RUNNER = os.path.abspath(args.tool), args.platform, shlex.split(args.runner)
    SANITIZED = args.sanitized
    DURABILITY_LOG = args.durability_log or os.path.join(os.path.dirname(TOOL), "tests",
                                                         "libdurability_log.so")
    session = None
    if PLATFORM == "windows" and RUNNER:
        # The prefix made, Wine's services started first and the session held until the suite
        # ends, so that neither its first-run notes nor its services get in the way of the tool's
        # streams (runs here are stopped by signals, even as they start).
        session = wine_session.hold(RUNNER)
    return args, rest, session


def main():
    _, rest, session = suite_arguments()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
