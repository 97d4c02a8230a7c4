// What a call leaves in this process's memory: after calls that end in every way, with the
// caller's own buffers wiped and the garbage collected, no piece of the secret nor of its hex is
// anywhere in the process (read from /proc/self/mem), not even what a released block keeps. The
// needles are kept masked (each byte XORed with MASK), so that the test's own copy of them is
// never what it finds.
import assert from "node:assert/strict";
import { randomFillSync } from "node:crypto";
import { mkdtempSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { after, test } from "node:test";
import { setTimeout as sleep } from "node:timers/promises";
import { setFlagsFromString } from "node:v8";
import { runInNewContext } from "node:vm";
import { createClient } from "../index.js";
import { BYTES_WINDOW, HEX_WINDOW, findPieces } from "./memory-scan.js";

const MASK = 0x55;
const linuxOnly = process.platform === "linux" ? false : "reads /proc/self/mem";

const folder = mkdtempSync(join(tmpdir(), "velkor-node-memory-"));
after(() => rmSync(folder, { recursive: true, force: true }));

// A stand-in that echoes its input (the hex it was given) as its answer, then exits with status,
// or fails with status 4, or echoes and hangs until killed.
function standIn(mode) {
  const path = join(folder, `stand-in-${mode}.cjs`);
  writeFileSync(path, `#!${process.execPath}
const chunks = [];
process.stdin.on("data", (chunk) => chunks.push(chunk));
process.stdin.on("end", () => {
  if (${JSON.stringify(mode)} === "fail") {
    process.stderr.write("DPAPI unprotect failed (error 13)\\n");
    process.exitCode = 4;
    return;
  }
  process.stdout.write(Buffer.concat([...chunks, Buffer.from("\\n")]));
  if (${JSON.stringify(mode)} === "hang") setInterval(() => {}, 1 << 30);
});
`, { mode: 0o755 });
  return path;
}

const launcher = process.platform === "win32" ? [process.execPath] : [];
const ENDINGS = {
  success: () => ({ client: createClient(standIn("echo"), { launcher }) }),
  "tool failure": () => ({ client: createClient(standIn("fail"), { launcher }) }),
  timeout: () => ({ client: createClient(standIn("hang"), { launcher, timeoutMs: 1500 }) }),
  abort: () => {
    const controller = new AbortController();
    setTimeout(() => controller.abort(), 1500);
    return { client: createClient(standIn("hang"), { launcher }), signal: controller.signal };
  },
  // spawn throws at once: an environment value holding a NUL byte.
  "spawn throwing": () =>
    ({ client: createClient(standIn("echo"), { launcher, env: { A: "\0" } }) }),
};
const SIZES = [1, 16, 32, 33, 64];
const HEX = "0123456789abcdef";

// The secret's bytes, masked, and its lower-case hex, masked, made without an unmasked copy; as
// needles named `what`.
function maskedNeedles(secret, what) {
  const bytes = Buffer.from(new ArrayBuffer(secret.length));
  const hex = Buffer.from(new ArrayBuffer(2 * secret.length));
  for (let i = 0; i < secret.length; i++) {
    bytes[i] = secret[i] ^ MASK;
    hex[2 * i] = HEX.charCodeAt(secret[i] >> 4) ^ MASK;
    hex[2 * i + 1] = HEX.charCodeAt(secret[i] & 15) ^ MASK;
  }
  return [{ what: `${what}: the secret`, bytes, window: BYTES_WINDOW },
    { what: `${what}: its hex`, bytes: hex, window: HEX_WINDOW }];
}

// Each piece of the needles found in this process's memory: what it is, which bytes, and where.
function leftInMemory(needles) {
  return findPieces(needles, MASK).flatMap((runs, n) => runs.map(({ address, start, end,
    mapping }) => `${needles[n].what}: bytes ${start} to ${end} of ${needles[n].bytes.length} ` +
    `at 0x${address.toString(16)} (${mapping})`));
}

test("the scan finds every piece of a window or more", { skip: linuxOnly }, () => {
  // Two secrets, planted in part: what a released block keeps of the first's hex (all but its
  // first 16 digits) and its bytes with one of them changed; of the second, one byte less than
  // a window of each.
  const [first, second] = [0, 1].map(() => randomFillSync(Buffer.from(new ArrayBuffer(32))));
  const needles = [...maskedNeedles(first, "first"), ...maskedNeedles(second, "second")];
  const hex = Buffer.from(new ArrayBuffer(64));
  for (let i = 0; i < 64; i++) hex[i] = needles[1].bytes[i] ^ MASK;
  hex.fill(0, 0, 16);
  first[8] ^= 1;
  const secondHex = Buffer.from(new ArrayBuffer(HEX_WINDOW));
  for (let i = 0; i < HEX_WINDOW - 1; i++) secondHex[i] = needles[3].bytes[i] ^ MASK;
  secondHex[HEX_WINDOW - 1] = 0x2d; // "-", no hex digit
  second[BYTES_WINDOW - 1] ^= 1;
  second.fill(0, BYTES_WINDOW);
  try {
    assert.deepEqual(findPieces(needles, MASK).map((runs) =>
      runs.map(({ start, end }) => [start, end])), [[[0, 8], [9, 32]], [[16, 64]], [], []]);
  } finally {
    for (const buffer of [first, second, hex, secondHex]) buffer.fill(0);
  }
});

test("no piece of a secret or of its hex is left behind", { skip: linuxOnly, timeout: 120_000 },
  async () => {
    setFlagsFromString("--expose-gc");
    const gc = runInNewContext("gc");
    const left = [];
    // Memory freed by a call is soon used again: each group of calls is looked for at once.
    for (const size of SIZES) {
      for (const [ending, make] of Object.entries(ENDINGS)) {
        const needles = [];
        await Promise.all(["protect", "unprotect"].map(async (command) => {
          const secret = Buffer.from(new ArrayBuffer(size));
          randomFillSync(secret);
          // One byte (two digits) is everywhere: those calls run only for what they do.
          if (size >= 16) {
            needles.push(...maskedNeedles(secret, `${command}, ${size} bytes, ${ending}`));
          }
          const { client, signal } = make();
          try {
            const value = await client[command](secret, { signal });
            assert.equal(ending, "success", `${command} ${ending} succeeded`);
            assert.equal(value.length, size);
            value.fill(0);
          } catch (error) {
            assert.notEqual(ending, "success", error);
          } finally {
            secret.fill(0);
          }
        }));
        gc();
        await sleep(20);
        left.push(...leftInMemory(needles));
      }
    }
    assert.deepEqual(left, []);
  });

// A session's stand-in: it answers "ok" and the request's hex, but a secret of 33 bytes with an
// error, and one of 64 bytes not at all.
function sessionStandIn() {
  const path = join(folder, "session-stand-in.cjs");
  writeFileSync(path, `#!${process.execPath}
let pending = Buffer.alloc(0);
process.stdin.on("data", (chunk) => {
  pending = Buffer.concat([pending, chunk]);
  for (let end; (end = pending.indexOf(10)) >= 0;) {
    const hex = pending.subarray(0, end).toString("latin1").split(" ")[1];
    pending = pending.subarray(end + 1);
    if (hex.length === 128) continue;
    process.stdout.write(hex.length === 66 ? "error 3 bad input\\n" : "ok " + hex + "\\n");
  }
});
`, { mode: 0o755 });
  return createClient(path, { launcher });
}

test("nor does a session", { skip: linuxOnly, timeout: 120_000 }, async () => {
  setFlagsFromString("--expose-gc");
  const gc = runInNewContext("gc");
  const client = sessionStandIn();
  const left = [];
  for (const command of ["protect", "unprotect"]) {
    const session = client.session();
    // Started, so that the deadline below counts only the call that gets no answer.
    (await session.protect(Uint8Array.of(1))).fill(0);
    const needles = [];
    // The secret of 64 bytes gets no answer: its deadline ends the child.
    await Promise.all([16, 32, 33, 64].map(async (size) => {
      const secret = Buffer.from(new ArrayBuffer(size));
      randomFillSync(secret);
      needles.push(...maskedNeedles(secret, `${command}, ${size} bytes`));
      try {
        const value = await session[command](secret, { timeoutMs: size === 64 ? 1500 : 0 });
        assert.equal(value.length, size);
        value.fill(0);
      } catch (error) {
        assert.ok(size === 33 || size === 64, error);
      } finally {
        secret.fill(0);
      }
    }));
    await session.close();
    gc();
    await sleep(20);
    left.push(...leftInMemory(needles));
  }
  assert.deepEqual(left, []);
});
