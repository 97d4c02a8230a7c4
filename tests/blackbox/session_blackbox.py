#!/usr/bin/env python3
"""The session command from outside: many requests through one process, fed and drained through
pipes as a caller would, natively and under Wine. The helpers and the table of one-line sessions
are blackbox.py's; these are the runs that need a conversation with the process.

    session_blackbox.py --tool PATH --platform windows|posix [--runner "wine"] [--sanitized]
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import blackbox as bb

BAD_INPUT_ANSWER = b"error 3 bad input"


class SessionTest(unittest.TestCase):
    setUp = bb.ToolTest.setUp
    fresh_home = bb.ToolTest.fresh_home
    run_tool = bb.ToolTest.run_tool
    interrupted = bb.ToolTest.interrupted

    def start(self):
        process = subprocess.Popen(bb.RUNNER + [bb.TOOL, "session"], stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   env=bb.environment(self.home))

        def end():
            process.kill()
            process.wait()
            for stream in (process.stdin, process.stdout, process.stderr):
                try:
                    stream.close()
                except OSError:
                    pass
        self.addCleanup(end)
        return process

    def answer(self, process):
        # One answer line, without its line end (a carriage return and line feed on Windows);
        # waited for a minute at most.
        line = self.answer_within(process, 60)
        self.assertIsNotNone(line, "no answer")
        end = bb.line_ends(b"\n")
        self.assertTrue(line.endswith(end), "not a whole answer: %s" % bb.shorten(line))
        return line[:-len(end)]

    def answer_within(self, process, seconds):
        # The next answer, or None when none came in time.
        got = []
        reader = threading.Thread(target=lambda: got.append(process.stdout.readline()),
                                  daemon=True)
        reader.start()
        reader.join(seconds)
        return got[0] if got else None

    def seal_all(self, secrets):
        # Through one session run to its end: the blobs, in order.
        data = b"".join(b"protect " + s.hex().encode() + b"\n" for s in secrets)
        out, err, status = self.run_tool(["session"], data)
        self.assertEqual((err, status), (b"", 0))
        lines = out.split(bb.line_ends(b"\n"))
        self.assertEqual(lines[-1], b"")
        return [bytes.fromhex(line[3:].decode()) for line in lines[:-1]]

    def test_200_secrets_through_one_session(self):
        # Sealed one request at a time, each answer read before the next is written; then all
        # opened at once, the requests written by one thread while the answers are read, byte
        # for byte the secrets again.
        secrets = [os.urandom(n % 65) for n in range(0, 200 * 7, 7)]
        process = self.start()
        blobs = []
        for secret in secrets:
            process.stdin.write(b"protect " + secret.hex().encode() + b"\n")
            process.stdin.flush()
            answer = self.answer(process)
            self.assertRegex(answer, rb"^ok (?:[0-9a-f]{2})+$")
            blobs.append(bytes.fromhex(answer[3:].decode()))
        requests = b"".join(b"unprotect " + blob.hex().upper().encode() + b"\r\n"
                            for blob in blobs)
        writer = threading.Thread(target=bb.feed_quietly, args=(process.stdin, requests))
        writer.start()
        opened = [self.answer(process) for _ in blobs]
        writer.join(300)
        rest, err = process.stdout.read(), process.stderr.read()
        self.assertEqual(opened, [b"ok " + secret.hex().encode() for secret in secrets])
        self.assertEqual((rest, err, process.wait(timeout=300)), (b"", b"", 0))

    def test_an_over_long_line_is_answered_at_once(self):
        # The writer keeps the line open past the limit: only the limit can bring the answer.
        # The rest of the line is then dropped, and the session goes on.
        line = (b"protect " + b"ab" * (bb.TEXT_LIMIT // 2) + b" \r" + b"aa" + b"cd" * 1000)
        process = self.start()
        writer = threading.Thread(target=lambda: (process.stdin.write(line),
                                                  process.stdin.flush()))
        writer.start()
        answer = self.answer_within(process, 120)
        writer.join(300)
        self.assertEqual(answer, bb.line_ends(BAD_INPUT_ANSWER + b"\n"))
        process.stdin.write(b"cdcd\nprotect 5ec2e7\n")
        process.stdin.close()
        blob = self.answer(process)
        self.assertRegex(blob, rb"^ok (?:[0-9a-f]{2})+$")
        self.assertEqual((process.stdout.read(), process.stderr.read(),
                          process.wait(timeout=300)), (b"", b"", 0))
        self.assert_opens(blob[3:], b"5ec2e7")

    def assert_opens(self, blob_hex, secret_hex):
        out, err, status = self.run_tool(["session"], b"unprotect " + blob_hex)
        self.assertEqual((out, err, status),
                         (bb.line_ends(b"ok " + secret_hex + b"\n"), b"", 0))

    def test_a_reader_that_leaves_ends_the_session(self):
        # The first answer finds no reader: the session opens nothing more for nobody and ends,
        # no failure of the tool's, though its input is still open (a session that went on
        # reading would wait for it until the test gave up).
        read_end, write_end = os.pipe()
        os.close(read_end)
        try:
            process = subprocess.Popen(bb.RUNNER + [bb.TOOL, "session"], stdin=subprocess.PIPE,
                                       stdout=write_end, stderr=subprocess.PIPE,
                                       env=bb.environment(self.home))
        finally:
            os.close(write_end)
        try:
            process.stdin.write(b"protect 5ec2e7\nprotect 5ec2e7\n")
            process.stdin.flush()
            status = process.wait(timeout=60)
            self.assertEqual((process.stderr.read(), status), (b"", 0))
        finally:
            process.kill()
            process.wait()
            process.stdin.close()
            process.stderr.close()

    def test_an_interrupted_session_is_never_a_success(self):
        # SIGINT at moments spread over a session of 20 requests, and while it waits for a reader
        # that paused after the first megabyte of its first answer: status 0 only with every
        # answer whole, never a hang.
        if sys.platform == "win32":
            self.skipTest("a console event on a Windows host needs a console of the test's own")
        if bb.RUNNER and bb.PLATFORM == "posix":
            self.skipTest("the runner, not the tool, would take the signal")
        interrupted = {-signal.SIGINT,
                       bb.CONTROL_C_EXIT & 0xFF if bb.PLATFORM == "windows" else None}
        secrets = [os.urandom(32) for _ in range(20)] + [os.urandom(4 << 20)]
        blobs = self.seal_all(secrets)
        requests = b"".join(b"unprotect " + blob.hex().encode() + b"\n" for blob in blobs[:20])
        answers = bb.line_ends(b"".join(b"ok " + s.hex().encode() + b"\n" for s in secrets[:20]))
        started = time.monotonic()
        self.assertEqual(self.run_tool(["session"], requests), (answers, b"", 0))
        run_time = time.monotonic() - started
        large = b"unprotect " + blobs[20].hex().encode() + b"\n"
        large_answer = bb.line_ends(b"ok " + secrets[20].hex().encode() + b"\n")
        tries = [(requests, run_time * (i + 0.5) / 24, 0, answers) for i in range(24)]
        tries += [(large + requests, 0.2, 1 << 20, large_answer + answers)] * 3
        for data, delay, read_first, expected in tries:
            out, err, status = self.interrupted("session", data, delay, read_first)
            moment = "%.3f s in, after %d bytes read" % (delay, read_first)
            if bb.PLATFORM == "windows" and bb.WINE_HEAP_CORRUPTED.search(err):
                # Wine's own, out of the tool's reach: see blackbox.py.
                sys.stderr.write("note: Wine corrupted its own heap on SIGINT, %s: status %s\n"
                                 % (moment, status))
                continue
            self.assertIsNotNone(status, "hung: %s; standard error %r" % (moment, err))
            self.assertEqual(err, b"", moment)
            if status == 0:
                self.assertEqual(out, expected, moment)
            else:
                self.assertIn(status, interrupted, moment)

    def test_no_secret_outlives_its_request(self):
        # The tool stopped under gdb as the second request reaches the platform, and its whole
        # memory read: the first request's secret is nowhere, neither as hex nor as bytes,
        # though both requests were read from the input in one go.
        if bb.PLATFORM != "posix" or bb.RUNNER or bb.SANITIZED or not shutil.which("gdb"):
            self.skipTest("needs the native tool itself, without sanitizers, and gdb")
        if os.geteuid() != 0:
            self.skipTest("reading a non-dumpable process's memory needs root")
        first, second = os.urandom(128), os.urandom(128)  # whole cipher blocks
        folder = tempfile.mkdtemp(prefix="velkor-session-memory-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        scan = os.path.join(folder, "scan.py")
        with open(scan, "w") as stream:
            stream.write(bb.MEMORY_SCAN % {"secret": first.hex(),
                                           "tests": bb.SUPPORT})
        blobs = self.seal_all([first, second])
        for verb, stop, secrets in (("protect", "CryptProtectData", (first, second)),
                                    ("unprotect", "CryptUnprotectData", blobs)):
            with self.subTest(verb):
                source = os.path.join(folder, verb)
                with open(source, "wb") as stream:
                    stream.write(b"".join(b"%s %s\n" % (verb.encode(), s.hex().encode())
                                          for s in secrets))
                result = subprocess.run(
                    ["gdb", "-batch", "-nx", "-ex", "source " + scan, "-ex", "break " + stop,
                     "-ex", "run session < %s > %s" % (source, os.path.join(folder, "out")),
                     "-ex", "continue", "-ex", "python scan()", "-ex", "kill", bb.TOOL],
                    capture_output=True, env=bb.environment(self.home), timeout=120)
                found, where = bb.scanned(result.stdout + result.stderr)
                self.assertEqual(found, {"hex": [], "bytes": []}, where)


def main():
    _, rest, session = bb.suite_arguments()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
