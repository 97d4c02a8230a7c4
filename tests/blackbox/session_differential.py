#!/usr/bin/env python3
"""The session against the one-shot commands: random sequences of requests, each sequence through
one session of the built tool, and every answer compared with what a one-shot run of that request
alone gives: the same status and message, and for `protect` a blob that the one-shot `unprotect`
opens to the same secret. An answer given twice, dropped, or taken from the wrong line shows as a
mismatch at that request.

The limit is the tool's own, which nothing outside the build can scale down: an over-long line is
32 MiB here, so a run holds only a few (the unit test
Session.AnswersEachRequestAsTheOneShotCommandDoes runs many, under a scaled-down limit).

    session_differential.py --tool PATH --platform windows|posix [--runner "wine"] [--sanitized]
                            [--seed N] [--sessions N] [--requests N] [--over-long N]
"""

import os
import random
import re
import subprocess
import sys
import threading
import time
import unittest

import blackbox as bb

SEED = 32
SESSIONS = None  # per platform, below, unless given
REQUESTS = None
OVER_LONG = None

UNKNOWN_VERBS = [b"", b"PROTECT", b"Protect", b"protectx", b"unprotected", b"protec", b"unprotec",
                 b"open", b"selftest", b"session", b"protect\t00", b"\x01", b"\xc3\xa9",
                 b"unprotectunprotect"]
FOREIGN_BYTES = [b"\t", b"g", b"x", b"G", b"\0", b"\x1a", b"\x80", b"\xff", b"-", b"\x0b"]


class Requests:
    """Random request lines (without their line feeds), of every kind a caller might send."""

    def __init__(self, seed, blobs):
        self.random = random.Random(seed)
        self.blobs = blobs  # sealed beforehand: requests that open

    def line(self):
        r = self.random
        verb = r.choice([b"protect", b"unprotect"])
        kind = r.randrange(8)
        if kind <= 1:
            text = self.request(verb, self.hex(r.randbytes(r.randrange(40))))
        elif kind == 2:
            text = self.request(b"unprotect", self.hex(r.choice(self.blobs)))
        elif kind == 3:  # a blob changed in one byte
            blob = bytearray(r.choice(self.blobs))
            blob[r.randrange(len(blob))] ^= 1 << r.randrange(8)
            text = self.request(b"unprotect", self.hex(bytes(blob)))
        elif kind == 4:  # not hex: a byte of no digit, or an odd count
            digits = self.hex(r.randbytes(1 + r.randrange(8)))
            if r.randrange(3) == 0:
                digits += b"a"
            else:
                digits = self.insert(digits, r.choice(FOREIGN_BYTES))
            text = self.request(verb, digits)
        elif kind == 5:
            text = r.choice(UNKNOWN_VERBS)
            if r.randrange(3):
                text += r.choice([b" ", b"\r"]) + self.hex(r.randbytes(r.randrange(4)))
        else:  # empty and blank lines
            text = b" " * r.randrange(3) + b"\r" * r.randrange(2)
        return self.carriage_returns(text)

    def over_long(self):
        # One significant character over the limit, then more that must not count. Carriage
        # returns go only into its ends: each one spread through its body would copy 32 MiB.
        r = self.random
        head = self.request(r.choice([b"protect", b"unprotect"]), self.spread(b"ab" * 4))
        tail = self.spread(b"ab") + (b"\rprotect 00" if r.randrange(2) else b"")
        return b"".join((self.carriage_returns(head), b"ab" * (bb.TEXT_LIMIT // 2 - 4),
                         self.carriage_returns(tail)))

    def request(self, verb, text):
        if not text and self.random.randrange(2):
            return verb
        return verb + self.random.choice([b" ", b"\r"]) + text

    def hex(self, data):
        # Either case, with spaces and carriage returns spread through it.
        text = data.hex().encode()
        return self.spread(text.upper() if self.random.randrange(4) == 0 else text)

    def spread(self, text):
        for _ in range(self.random.randrange(4)):
            text = self.insert(text, self.random.choice([b" ", b"\r"]))
        return text

    def carriage_returns(self, text):
        # Anywhere, the verb included.
        for _ in range(self.random.randrange(3) if self.random.randrange(2) else 0):
            text = self.insert(text, b"\r")
        return text

    def insert(self, text, byte):
        at = self.random.randrange(len(text) + 1)
        return text[:at] + byte + text[at:]


def split_request(line):
    # The verb runs to the first space or carriage return; the rest of the line is its hex.
    match = re.match(rb"([^ \r]*)(?:[ \r](.*))?\Z", line, re.S)
    return match.group(1), match.group(2) or b""


class SessionDifferentialTest(unittest.TestCase):
    setUp = bb.ToolTest.setUp
    fresh_home = bb.ToolTest.fresh_home

    def run_tool(self, args, data):
        # Through pipes, as a caller drives the tool: the input written whole by a thread of its
        # own while the output is read (communicate() would write 32 MiB 512 bytes at a time).
        process = subprocess.Popen(bb.RUNNER + [bb.TOOL] + args, stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   env=bb.environment(self.home))
        stdin, process.stdin = process.stdin, None
        writer = threading.Thread(target=bb.feed_quietly, args=(stdin, data))
        writer.start()
        try:
            out, err = process.communicate(timeout=600)
        finally:
            process.kill()
            process.wait()
            writer.join()
        return out, err, process.returncode

    def test_each_answer_is_the_one_shot_runs(self):
        started = time.monotonic()
        line_end = bb.line_ends(b"\n")
        # Blobs of this profile to open (the native stand-in's key is made here too).
        blobs = []
        requests = Requests(SEED, blobs)
        for secret in (b"", requests.random.randbytes(1), requests.random.randbytes(32)):
            out, err, status = self.run_tool(["protect"], secret.hex().encode())
            self.assertEqual((err, status), (b"", 0))
            blobs.append(bytes.fromhex(out.decode()))
        sequences = [[requests.line() for _ in range(1 + requests.random.randrange(REQUESTS))]
                     for _ in range(SESSIONS)]
        for _ in range(OVER_LONG):
            lines = requests.random.choice(sequences)
            lines.insert(requests.random.randrange(len(lines) + 1), requests.over_long())

        count = 0
        for number, lines in enumerate(sequences):
            data = b"".join(line + b"\n" for line in lines)
            # The last line without its line feed: still a request, unless it is empty.
            if lines[-1] and requests.random.randrange(2):
                data = data[:-1]
            out, err, status = self.run_tool(["session"], data)
            where = "seed %d (--seed), session %d" % (SEED, number)
            self.assertEqual((err, status), (b"", 0), where)
            self.assertTrue(out == b"" or out.endswith(line_end), where)
            answers = [answer + line_end for answer in out.split(line_end)[:-1]]
            self.assertEqual(len(answers), len(lines),
                             "%s: %d answers to %d requests" % (where, len(answers), len(lines)))
            for index, (line, answer) in enumerate(zip(lines, answers)):
                self.assert_answer(line, answer, "%s, request %d: %s" % (
                    where, index, bb.shorten(line)))
            count += len(lines)
        sys.stderr.write("%d requests in %d sessions, seed %d: %.1f s\n"
                         % (count, len(sequences), SEED, time.monotonic() - started))

    def assert_answer(self, line, answer, where):
        verb, rest = split_request(line)
        if verb in (b"selftest", b"session"):  # commands of the command line, but no requests
            self.assertEqual(answer, bb.line_ends(b"error 2 unknown command\n"), where)
            return
        out, err, status = self.run_tool([verb], rest)
        if status != 0:
            self.assertEqual(out, b"", where)
            self.assertEqual(answer, b"error %d " % status + err, where)
        elif verb == b"unprotect":
            self.assertEqual(answer, b"ok " + out, where)
        else:
            # A new seal: its own blob, which opens to the same secret.
            self.assertRegex(answer, rb"\Aok (?:[0-9a-f]{2})+" + re.escape(bb.line_ends(b"\n")),
                             where)
            secret = re.sub(rb"[ \r]", b"", rest).lower()
            opened = self.run_tool(["unprotect"], answer[3:])
            self.assertEqual(opened, (bb.line_ends(secret + b"\n"), b"", 0), where)


def main():
    global SEED, SESSIONS, REQUESTS, OVER_LONG

    def add_arguments(parser):
        parser.add_argument("--seed", type=int, default=SEED, help="another sequence of requests")
        parser.add_argument("--sessions", type=int, help="sessions to run")
        parser.add_argument("--requests", type=int, help="the most requests in one session")
        parser.add_argument("--over-long", type=int, help="lines over the limit (32 MiB each)")
    args, rest, session = bb.suite_arguments(add_arguments)
    # Under Wine every run costs a tenth of a second or more, and with sanitizers a tool starts
    # several times slower: fewer runs there.
    sessions, requests, over_long = (16, 30, 2)
    if bb.RUNNER:
        sessions, requests, over_long = (6, 10, 1)
    elif bb.SANITIZED:
        sessions, requests, over_long = (8, 30, 1)
    SEED = args.seed
    SESSIONS = args.sessions if args.sessions is not None else sessions
    REQUESTS = args.requests if args.requests is not None else requests
    OVER_LONG = args.over_long if args.over_long is not None else over_long
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
