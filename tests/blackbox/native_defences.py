#!/usr/bin/env python3
"""The native tool's defences, seen from /proc while it runs.

Secret memory: at the moments that matter, every page of each block that holds a secret is
locked (the `lo` VmFlag in /proc/PID/smaps) and left out of core dumps (`dd`), and VmLck counts
those blocks and no other, so a released block is no longer locked. Blocks are found from
outside: the two static buffers by their symbols, the others by their contents in
/proc/PID/mem (which needs root for a process that made itself non-dumpable), as the one place
that holds them whole: a piece of them anywhere else, such as what a released block keeps,
fails the test.

Patient waits: a tool that sits on a full non-blocking output pipe, or an empty non-blocking
input pipe, spends next to no processor time on it.

    native_defences.py --tool PATH [--sanitized] [unittest arguments]
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import fcntl

from blackbox import wait_for_pipe
# The helpers that the black-box, release and docs tests share.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from process_memory import BYTES_WINDOW, HEX_WINDOW, find_pieces, find_secret, readable_regions

TOOL = None
SANITIZED = False
PAGE = os.sysconf("SC_PAGE_SIZE")
INPUT_BUFFER_BYTES = 4096
LINE_CHUNK_BYTES = 65536
FIRST_TEXT_BLOCK_BYTES = 65536
SESSION_INPUT_BYTES = 4096  # the block a session reads its input through


def environment(home):
    env = dict(os.environ, HOME=home)
    env.pop("XDG_DATA_HOME", None)
    return env


def whole_pages(start, length):
    # The page range that holds `length` bytes from `start`: what mlock and madvise act on.
    first = start - start % PAGE
    end = -(-(start + length) // PAGE) * PAGE
    return first, end


def mappings(pid):
    # (start, end, VmFlags) of every mapping in /proc/PID/smaps.
    found = []
    with open("/proc/%d/smaps" % pid) as smaps:
        for line in smaps:
            head = re.match(r"([0-9a-f]+)-([0-9a-f]+) ", line)
            if head:
                found.append((int(head.group(1), 16), int(head.group(2), 16), set()))
            elif line.startswith("VmFlags:"):
                found[-1][2].update(line.split()[1:])
    return found


def locked_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        return int(re.search(r"^VmLck:\s+(\d+) kB", status.read(), re.M).group(1))


def find_in_memory(pid, needle, window, outside=()):
    # Every piece of `needle` at least `window` bytes long in the process's readable memory, as
    # (address, start, end), but those in the `outside` blocks ((start, length) pairs).
    return [run for run in find_pieces(readable_regions(pid), [(needle, window)])[0]
            if not any(start <= run[0] < start + length for start, length in outside)]


def static_buffers(pid):
    # The input buffer and the line chunk: their symbols' offsets from where the tool is loaded.
    symbols = {}
    listing = subprocess.run(["nm", "--defined-only", "--demangle", TOOL], capture_output=True,
                             text=True, check=True).stdout
    for line in listing.splitlines():
        value, kind, name = line.split(None, 2)
        name = name.split("::")[-1]
        if kind in "bBdD" and name in ("input_buffer", "line_chunk"):
            symbols[name] = int(value, 16)
    tool = os.path.realpath(TOOL)
    with open("/proc/%d/maps" % pid) as maps:
        base = next(int(line.split("-")[0], 16) for line in maps
                    if line.split()[-1] == tool and int(line.split()[2], 16) == 0)
    return {"input buffer": (base + symbols["input_buffer"], INPUT_BUFFER_BYTES),
            "line chunk": (base + symbols["line_chunk"], LINE_CHUNK_BYTES)}


def process_state(pid):
    with open("/proc/%d/stat" % pid) as stat:
        return stat.read().rsplit(")", 1)[1].split()


def wait_until_asleep(pid):
    # The tool blocked in a system call: the one it sleeps in with its pipe empty or full.
    for _ in range(600):
        if process_state(pid)[0] == "S":
            return
        time.sleep(0.1)
    raise AssertionError("the tool never blocked")


def processor_seconds(pid):
    fields = process_state(pid)
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")  # utime + stime


def non_blocking(fd):
    fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) | os.O_NONBLOCK)
    return fd


class NativeTest(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="velkor-defences-")
        self.addCleanup(shutil.rmtree, self.home, ignore_errors=True)

    def start(self, command, **streams):
        streams = dict({"stdin": subprocess.PIPE, "stdout": subprocess.PIPE,
                        "stderr": subprocess.PIPE}, **streams)
        process = subprocess.Popen([TOOL, command], env=environment(self.home), **streams)

        def end():
            process.kill()
            process.wait()
            for stream in (process.stdin, process.stdout, process.stderr):
                if stream is not None:
                    stream.close()
        self.addCleanup(end)
        return process

    def protect(self, secret):
        result = subprocess.run([TOOL, "protect"], input=secret.hex().encode(),
                                capture_output=True, env=environment(self.home), timeout=60)
        self.assertEqual((result.stderr, result.returncode), (b"", 0))
        return result.stdout


class SecretMemoryTest(NativeTest):
    def setUp(self):
        if SANITIZED or not os.path.exists("/proc/self/smaps"):
            self.skipTest("needs the native tool without sanitizers (to which mlock is a no-op) "
                          "and /proc")
        if os.geteuid() != 0:
            self.skipTest("reading a non-dumpable process's memory and mappings needs root")
        if not shutil.which("nm"):
            self.skipTest("needs nm to find the static buffers")
        super().setUp()

    def assert_guarded(self, pid, blocks):
        # `blocks`: name -> (start, length). Every page of each is locked and out of dumps, and
        # nothing else is locked.
        maps = mappings(pid)
        faults = []
        for name, (start, length) in sorted(blocks.items()):
            first, end = whole_pages(start, length)
            for page in range(first, end, PAGE):
                flags = next((f for s, e, f in maps if s <= page < e), set())
                missing = {"lo", "dd"} - flags
                if missing:
                    faults.append("%s: page %d of %d lacks %s" % (
                        name, (page - first) // PAGE + 1, (end - first) // PAGE,
                        " and ".join(sorted(missing))))
        expected_kib = sum(whole_pages(s, n)[1] - whole_pages(s, n)[0]
                           for s, n in blocks.values()) // 1024
        self.assertEqual(faults, [])
        self.assertEqual(locked_kib(pid), expected_kib,
                         "VmLck should count %s alone" % ", ".join(sorted(blocks)))

    def waiting_after(self, text):
        # A `protect` that has read `text` and sleeps, waiting for the rest of its input.
        process = self.start("protect")
        process.stdin.write(text)
        process.stdin.flush()
        wait_for_pipe(process.stdin, lambda held, _: held == 0, "the tool never read its input")
        wait_until_asleep(process.pid)
        return process

    def only(self, addresses, what):
        self.assertEqual(len(addresses), 1, "%s found at %d places" % (what, len(addresses)))
        return addresses[0]

    def whole(self, runs, length, what):
        # Where the one run that holds all `length` bytes lies, when no other piece was found.
        self.assertEqual([(start, end) for _, start, end in runs], [(0, length)],
                         "%s found at %s" % (what, ", ".join("%#x (%d-%d)" % run for run in runs)))
        return runs[0][0]

    def test_waiting_for_input(self):
        # The input buffer and the line chunk from the start, and the first text block, 64 KiB.
        text = os.urandom(50).hex().encode()
        process = self.waiting_after(text)
        blocks = static_buffers(process.pid)
        runs = find_in_memory(process.pid, text, HEX_WINDOW, [blocks["input buffer"]])
        blocks["text block"] = (self.whole(runs, len(text), "the text"), FIRST_TEXT_BLOCK_BYTES)
        self.assert_guarded(process.pid, blocks)

    def test_after_the_text_block_has_grown(self):
        # More than 64 KiB of text: the text moved into a 128 KiB block, and the first one,
        # released, is no longer locked.
        text = os.urandom(50000).hex().encode()
        process = self.waiting_after(text)
        blocks = static_buffers(process.pid)
        runs = find_in_memory(process.pid, text, HEX_WINDOW, [blocks["input buffer"]])
        blocks["text block"] = (self.whole(runs, len(text), "the text"),
                                2 * FIRST_TEXT_BLOCK_BYTES)
        self.assert_guarded(process.pid, blocks)

    def test_blocked_on_a_full_output_pipe_during_unprotect(self):
        # The opened secret (the platform's output) and the line chunk it is spelled in are
        # locked; the blocks the input was read and decoded into are released and unlocked.
        # Its line is longer than the pipe holds; and ten bytes short of ten pages, it reaches
        # into an eleventh wherever the heap puts it, which a lock of whole pages alone misses.
        secret = os.urandom(10 * PAGE - 10)
        blob_line = self.protect(secret)
        process = self.start("unprotect")
        process.stdin.write(blob_line)
        process.stdin.close()
        wait_for_pipe(process.stdout, lambda held, size: held > size - PAGE,
                      "the output never filled the pipe")
        wait_until_asleep(process.pid)
        blocks = static_buffers(process.pid)
        runs = find_in_memory(process.pid, secret, BYTES_WINDOW)
        blocks["opened secret"] = (self.whole(runs, len(secret), "the secret"), len(secret))
        self.assert_guarded(process.pid, blocks)
        out, err = process.stdout.read(), process.stderr.read()
        self.assertEqual((out, err, process.wait(timeout=60)),
                         (secret.hex().encode() + b"\n", b"", 0))

    def test_at_the_platform_call(self):
        # Stopped by gdb as the seal begins: the decoded secret is locked, the text it was
        # decoded from released and unlocked.
        if not shutil.which("gdb"):
            self.skipTest("needs gdb")
        secret = os.urandom(20000)
        paths = {name: os.path.join(self.home, name) for name in ("in", "out", "stopped", "go")}
        with open(paths["in"], "wb") as stream:
            stream.write(secret.hex().encode())
        # Once the tool has stopped, gdb puts its process id in place whole, and waits (at most
        # 60 s) for the test to have looked.
        hold = ("python import os, time; open(%r, 'w').write(str(gdb.selected_inferior().pid)); "
                "os.rename(%r, %r); [os.path.exists(%r) or time.sleep(0.1) for _ in range(600)]"
                % (paths["out"] + ".pid", paths["out"] + ".pid", paths["stopped"], paths["go"]))
        gdb = subprocess.Popen(
            ["gdb", "-batch", "-nx", "-ex", "break CryptProtectData",
             "-ex", "run protect < %s > %s" % (paths["in"], paths["out"]), "-ex", hold,
             "-ex", "kill", TOOL],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            env=environment(self.home))
        try:
            for _ in range(600):
                if os.path.exists(paths["stopped"]) or gdb.poll() is not None:
                    break
                time.sleep(0.1)
            if not os.path.exists(paths["stopped"]):
                self.fail("gdb never stopped the tool: %r" % gdb.communicate()[0])
            with open(paths["stopped"]) as stream:
                pid = int(stream.read())
            blocks = static_buffers(pid)
            blocks["decoded secret"] = (
                self.whole(find_in_memory(pid, secret, BYTES_WINDOW), len(secret), "the secret"),
                len(secret) + 1)  # the decoded block's one byte more
            self.assert_guarded(pid, blocks)
        finally:
            open(paths["go"], "w").close()
            gdb.communicate(timeout=60)

    def test_a_session_between_requests(self):
        # After a request whose text outgrew the first block, the session waits in its next
        # request: the input block it reads through, and the text block, back at its first
        # size, are locked with the static buffers; nothing of the first request's is left
        # locked, nor anywhere in its memory.
        first = os.urandom(50000)
        process = self.start("session")
        process.stdin.write(b"protect " + first.hex().encode() + b"\n")
        process.stdin.flush()
        self.assertRegex(process.stdout.readline(), rb"^ok [0-9a-f]+\n$")
        partial = os.urandom(50).hex().encode()
        process.stdin.write(b"protect " + partial)
        process.stdin.flush()
        wait_for_pipe(process.stdin, lambda held, _: held == 0, "the tool never read its input")
        wait_until_asleep(process.pid)
        self.assertEqual(find_secret(process.pid, first), {"hex": [], "bytes": []})
        blocks = static_buffers(process.pid)
        blocks["text block"] = (
            self.whole(find_in_memory(process.pid, partial, HEX_WINDOW), len(partial), "the text"),
            FIRST_TEXT_BLOCK_BYTES)
        # The input block was wiped before the tool began to wait: no content finds it. It is
        # the one locked page outside the others.
        known = {page for start, length in blocks.values()
                 for page in range(*whole_pages(start, length), PAGE)}
        others = [page for start, end, flags in mappings(process.pid) if "lo" in flags
                  for page in range(start, end, PAGE) if page not in known]
        blocks["input block"] = (self.only(others, "a locked page of no other block"),
                                 SESSION_INPUT_BYTES)
        self.assert_guarded(process.pid, blocks)
        out, err = process.communicate(b"\n", timeout=60)
        self.assertEqual((err, process.returncode), (b"", 0))
        self.assertRegex(out, rb"^ok [0-9a-f]+\n$")


class PieceSearchTest(unittest.TestCase):
    """The search for what is left of a secret, which the memory checks share, over made-up
    memory: each longest run of a window or more, wherever it lies, and nothing shorter."""

    def test_pieces_of_a_secret(self):
        secret = os.urandom(64)
        text = secret.hex().encode()

        def changed(at):
            return bytes([secret[at] ^ 1])
        regions = [
            # A released block whose first 16 bytes were overwritten; a window; one less a byte.
            (0x10000, os.urandom(5) + bytes(16) + text[16:] + b"-" + text[40:56] + b"-" +
             text[60:75]),
            # The bytes with one of them changed; one less a byte than a window; a window.
            (0x20000, secret[:20] + changed(20) + secret[21:] + changed(40) + secret[41:48] +
             changed(48) + secret[:8])]
        self.assertEqual(find_pieces(regions, [(text, HEX_WINDOW), (secret, BYTES_WINDOW)]), [
            [(0x10015, 16, 128), (0x10086, 40, 56)],
            [(0x20000, 0, 20), (0x20015, 21, 64), (0x20049, 0, 8)]])


class PatientWaitTest(NativeTest):
    """No busy loop: sitting on a pipe costs a waiting tool no processor time to speak of. The
    bound, a twentieth of the time waited, is generous: a waiting tool spends none, and a loop
    that never sleeps takes far more, even on a loaded machine."""

    WAIT = 1.5  # seconds

    def setUp(self):
        if not os.path.exists("/proc/self/stat"):
            self.skipTest("needs /proc")
        super().setUp()

    def assert_waits_patiently(self, pid):
        before, started = processor_seconds(pid), time.monotonic()
        time.sleep(self.WAIT)
        spent, waited = processor_seconds(pid) - before, time.monotonic() - started
        self.assertLess(spent, waited / 20,
                        "%.2f s of processor time in %.2f s of waiting" % (spent, waited))

    def test_on_a_full_non_blocking_output_pipe(self):
        secret = os.urandom(200000)
        read_end, write_end = os.pipe()
        process = self.start("protect", stdout=non_blocking(write_end))
        os.close(write_end)
        process.stdin.write(secret.hex().encode())
        process.stdin.close()
        wait_for_pipe(read_end, lambda held, size: held > size - PAGE,
                      "the output never filled the pipe")
        self.assert_waits_patiently(process.pid)
        with os.fdopen(read_end, "rb") as output:
            blob_line = output.read()
        self.assertEqual((process.stderr.read(), process.wait(timeout=60)), (b"", 0))
        opened = subprocess.run([TOOL, "unprotect"], input=blob_line, capture_output=True,
                                env=environment(self.home), timeout=60)
        self.assertEqual((opened.stdout, opened.stderr, opened.returncode),
                         (secret.hex().encode() + b"\n", b"", 0))

    def test_on_an_empty_non_blocking_input_pipe(self):
        read_end, write_end = os.pipe()
        process = self.start("protect", stdin=non_blocking(read_end))
        os.close(read_end)
        with os.fdopen(write_end, "wb", buffering=0) as feed:
            feed.write(b"5ec2")
            wait_for_pipe(write_end, lambda held, _: held == 0, "the tool never read its input")
            self.assert_waits_patiently(process.pid)
            feed.write(b"e7\n")
        out, err = process.communicate(timeout=60)
        self.assertEqual((err, process.returncode), (b"", 0))
        self.assertRegex(out, rb"^[0-9a-f]+\n$")


def main():
    global TOOL, SANITIZED
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--sanitized", action="store_true", help="the tool has sanitizers")
    args, rest = parser.parse_known_args()
    TOOL, SANITIZED = os.path.abspath(args.tool), args.sanitized
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
