// Sessions and batches against a stand-in that speaks the session protocol: one request per line,
// "protect <hex>" or "unprotect <hex>", one answer per line, "ok <hex>" or "error <status>
// <message>". Its blob is "b1" and the secret's hex; a blob without that mark does not open. The
// first four bytes of a secret may ask for what a test needs: ee ee ee ee, no answer to it or to
// any request after it (the stand-in goes on reading); dd dd dd dd, death by SIGKILL; cc cc cc
// cc, an answer outside the protocol; aa aa aa aa, the rest of the secret as the answer line;
// bb bb bb bb, its answer and a second line in one write; ff ff ff ff, an answer that never ends
// (64 KiB writes without a line feed, until killed, or 8 MiB past the client's cap, then exit).
import assert from "node:assert/strict";
import childProcess from "node:child_process";
import { randomBytes } from "node:crypto";
import { mkdtempSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { after, describe, test } from "node:test";
import { setTimeout as sleep } from "node:timers/promises";
import { createClient, VelkorDpapiError } from "../index.js";
import { explainPlatformCode } from "../reasons.cjs";
import { activeResources, isZero, watchAllocations } from "./watch.js";

// The longest answer the client takes: "ok ", the hex of the largest blob, "\r\n".
const MAX_ANSWER_BYTES = 33_685_507;

const folder = mkdtempSync(join(tmpdir(), "velkor-node-session-"));
after(() => rmSync(folder, { recursive: true, force: true }));

const STAND_IN_BODY = `
let pending = Buffer.alloc(0);
let hung = false;
// Answers go out in order; a long one in two writes some time apart, so that the client reads it
// in parts.
let written = Promise.resolve();
const write = (text) => new Promise((resolve) => process.stdout.write(text, resolve));
const answer = (text) => {
  const line = text + plan.lineEnd;
  const cut = line.length > 1000 ? 600 : line.length;
  written = written.then(() => write(line.slice(0, cut)))
    .then(() => cut < line.length && new Promise((resolve) => setTimeout(resolve, 50)))
    .then(() => cut < line.length && write(line.slice(cut)));
};
// An answer and a line that answers nothing, in one write: they arrive together.
const answerAndMore = (text) => {
  written = written.then(() => write(text + plan.lineEnd + "ok 00" + plan.lineEnd));
};
// Never done: no later answer goes out.
const flood = () => new Promise(() => {
  const chunk = Buffer.alloc(65536, 0x61);
  let left = Math.ceil((${MAX_ANSWER_BYTES} + (8 << 20)) / chunk.length);
  const more = () => {
    while (--left > 0) if (!process.stdout.write(chunk)) return process.stdout.once("drain", more);
    process.stdout.write(chunk, () => process.exit(0));
  };
  more();
});
process.stdin.on("data", (chunk) => {
  pending = Buffer.concat([pending, chunk]);
  for (let end; (end = pending.indexOf(10)) >= 0;) {
    const line = pending.subarray(0, end).toString("latin1").replace(/\\r$/, "");
    pending = pending.subarray(end + 1);
    const [verb, hex = ""] = line.split(" ");
    if (!/^([0-9a-f]{2})*$/.test(hex)) answer("error 3 bad input");
    else if (hung || hex.startsWith("eeeeeeee")) hung = true;
    else if (hex.startsWith("dddddddd")) process.kill(process.pid, "SIGKILL");
    else if (hex.startsWith("cccccccc")) answer("OK " + hex);
    else if (hex.startsWith("aaaaaaaa")) answer(String(Buffer.from(hex.slice(8), "hex")));
    else if (hex.startsWith("bbbbbbbb")) answerAndMore("ok b1" + hex);
    else if (hex.startsWith("ffffffff")) written = written.then(flood);
    else if (verb === "protect") answer("ok b1" + hex);
    else if (verb !== "unprotect") answer("error 2 unknown command");
    else if (hex.startsWith("b1")) answer("ok " + hex.slice(2));
    else answer("error 4 DPAPI unprotect failed (error 13)");
  }
});
`;

let standIns = 0;
function standIn({ lineEnd = "\n" } = {}) {
  const path = join(folder, `stand-in-${++standIns}.cjs`);
  writeFileSync(path, `#!${process.execPath}\nconst plan = ${JSON.stringify({ lineEnd })};\n` +
    STAND_IN_BODY, { mode: 0o755 });
  const launcher = process.platform === "win32" ? [process.execPath] : [];
  return { path, client: (options = {}) => createClient(path, { launcher, ...options }) };
}

const realSpawn = childProcess.spawn;

// Every spawn of the test, with the buffers the client wrote to the child and those it gave the
// pipe to read into. Children still running at the end are killed.
function watchSpawns(t) {
  const spawns = [];
  t.after(() => {
    for (const { child } of spawns) {
      if (child.exitCode === null && child.signalCode === null) child.kill("SIGKILL");
    }
  });
  t.mock.method(childProcess, "spawn", (file, args, options) => {
    const child = realSpawn(file, args, options);
    const seen = { args, child, written: [], readInto: [] };
    const write = child.stdin.write;
    child.stdin.write = function (chunk, ...rest) {
      seen.written.push(chunk);
      return write.call(this, chunk, ...rest);
    };
    const handle = child.stdout._handle;
    const useUserBuffer = handle.useUserBuffer;
    handle.useUserBuffer = function (buffer) {
      seen.readInto.push(buffer);
      return useUserBuffer.call(this, buffer);
    };
    // Waited for with this process kept running: an idle session's child no longer keeps it.
    seen.ended = new Promise((resolve) => {
      const keep = setInterval(() => {}, 1000);
      child.on("exit", (status, signal) => {
        clearInterval(keep);
        resolve({ status, signal });
      });
    });
    spawns.push(seen);
    return child;
  });
  return spawns;
}


// What the promise settles with, or "still running" if it has not within `ms` (a timer that
// the tests' mock timers leave alone).
const within = (ms, promise) => new Promise((resolve) => {
  const timer = setInterval(() => {
    clearInterval(timer);
    resolve("still running");
  }, ms);
  promise.then((value) => {
    clearInterval(timer);
    resolve(value);
  });
});
const outcome = (promise) => promise.then((value) => ({ value }), (error) => ({ error }));
const fields = (error, keys) => {
  assert.ok(error instanceof VelkorDpapiError, error);
  return Object.fromEntries(keys.map((key) => [key, error[key]]));
};
const secretOf = (mark, length = 8) =>
  Buffer.concat([Buffer.alloc(4, mark), randomBytes(length - 4)]);
const blobOf = (secret) => Buffer.concat([Buffer.of(0xb1), secret]);

describe("a session", { timeout: 60_000 }, () => {
  test("200 secrets sealed and opened through one child", async (t) => {
    const spawns = watchSpawns(t);
    const session = standIn().client().session();
    const secrets = Array.from({ length: 200 }, (_, i) => randomBytes(i % 70));
    const blobs = await Promise.all(secrets.map((secret) => session.protect(secret)));
    blobs.forEach((blob, i) => assert.ok(blob.equals(blobOf(secrets[i])), `blob ${i}`));
    const opened = await Promise.all(blobs.map((blob) => session.unprotect(blob)));
    opened.forEach((bytes, i) => assert.ok(bytes.equals(secrets[i]), `secret ${i}`));
    assert.equal(spawns.length, 1);
    assert.deepEqual(spawns[0].args.slice(-1), ["session"]);
    await session.close();
    assert.deepEqual(await spawns[0].ended, { status: 0, signal: null });
  });

  test("answers ending in \\r\\n, and error answers between good ones", async (t) => {
    const spawns = watchSpawns(t);
    const session = standIn({ lineEnd: "\r\n" }).client().session();
    const secret = randomBytes(32);
    const [sealed, bad, opened] = await Promise.all([
      session.protect(secret),
      outcome(session.unprotect(Buffer.of(1, 2, 3))),
      session.unprotect(blobOf(secret)),
    ]);
    assert.ok(sealed.equals(blobOf(secret)) && opened.equals(secret));
    const { reason, happened, action } = explainPlatformCode(13, "unprotect");
    assert.deepEqual(fields(bad.error, ["code", "command", "status", "platformCode", "reason",
      "stderr", "message"]), {
      code: "DPAPI_FAILED", command: "unprotect", status: 4, platformCode: 13, reason,
      stderr: "", message: "velkor-dpapi unprotect: DPAPI unprotect failed (error 13): " +
        `${reason}: ${happened}. ${action}.`,
    });
    assert.equal(spawns.length, 1);
    await session.close();
  });

  for (const how of ["deadline", "abort"]) {
    test(`a ${how} mid-session ends the child; the calls after it reject, the next call starts ` +
      "a new one", async (t) => {
      const spawns = watchSpawns(t);
      const session = standIn().client().session();
      const controller = new AbortController();
      const stopped = how === "deadline" ? { timeoutMs: 300 } : { signal: controller.signal };
      // The child is running and has answered before the deadline starts to count, however
      // slowly it started.
      const first = randomBytes(16);
      assert.ok((await session.protect(first)).equals(blobOf(first)));
      const hanging = outcome(session.protect(secretOf(0xee), stopped));
      const queued = outcome(session.unprotect(blobOf(first)));
      const reason = new Error("the wallet is closing");
      if (how === "abort") controller.abort(reason);
      const { error } = await hanging;
      if (how === "deadline") {
        assert.deepEqual(fields(error, ["code", "command", "message"]), { code: "TIMEOUT",
          command: "protect", message: "velkor-dpapi protect: no answer within 300 ms" });
      } else {
        assert.deepEqual([error.code, error.cause], ["ABORTED", reason]);
      }
      const why = how === "deadline" ? "another call's deadline passed"
        : "another call was aborted";
      assert.deepEqual(fields((await queued).error, ["code", "command", "message"]), {
        code: "SESSION_ENDED", command: "unprotect",
        message: `velkor-dpapi unprotect: not answered: ${why}`,
      });
      assert.deepEqual(await spawns[0].ended, { status: null, signal: "SIGKILL" });
      assert.ok((await session.unprotect(blobOf(first))).equals(first));
      assert.equal(spawns.length, 2);
      await session.close();
    });
  }

  test("close() with calls pending ends the child at once", async (t) => {
    const spawns = watchSpawns(t);
    const session = standIn().client().session();
    const calls = [secretOf(0xee), randomBytes(4)].map((s) => outcome(session.protect(s)));
    while (spawns.length === 0) await sleep(10);
    await session.close();
    for (const { error } of await Promise.all(calls)) {
      assert.deepEqual(fields(error, ["code", "message"]), { code: "SESSION_ENDED",
        message: "velkor-dpapi protect: not answered: the session was closed" });
    }
    assert.deepEqual(await spawns[0].ended, { status: null, signal: "SIGKILL" });
  });

  test("a child that dies mid-session rejects the calls pending", async (t) => {
    const spawns = watchSpawns(t);
    const session = standIn().client().session();
    const calls = [secretOf(0xdd), randomBytes(4)].map((s) => outcome(session.unprotect(s)));
    for (const { error } of await Promise.all(calls)) {
      assert.deepEqual(fields(error, ["code", "signal", "status"]),
        { code: "SIGNAL", signal: "SIGKILL", status: null });
    }
    const secret = randomBytes(3);
    assert.ok((await session.protect(secret)).equals(blobOf(secret)));
    assert.equal(spawns.length, 2);
    await session.close();
  });

  test("an answer outside the protocol ends the child", async (t) => {
    const spawns = watchSpawns(t);
    const session = standIn().client().session();
    const calls = [secretOf(0xcc), randomBytes(4)].map((s) => outcome(session.protect(s)));
    const [bad, after] = await Promise.all(calls);
    assert.deepEqual(fields(bad.error, ["code", "message"]), { code: "PROTOCOL", message:
      "velkor-dpapi protect: an answer that is neither \"ok\" nor \"error\"" });
    assert.equal(after.error.code, "SESSION_ENDED");
    assert.equal((await spawns[0].ended).signal, "SIGKILL");
  });

  test("an answer line is taken only within the protocol", async (t) => {
    // Each answer alone, in a session of its own: what the call settles with, and whether the
    // session ends as broken (its child killed) or goes on (ended by close()).
    const spawns = watchSpawns(t);
    const client = standIn().client();
    const broken = (command, what) =>
      ({ code: "PROTOCOL", message: `velkor-dpapi ${command}: ${what}` });
    const notAnAnswer = (command) =>
      broken(command, "an answer that is neither \"ok\" nor \"error\"");
    const cases = [
      // A sealed blob is never empty: the wallet would store nothing in place of the secret.
      ["protect", "ok", broken("protect", "an answer with an empty blob")],
      ["protect", "ok ", broken("protect", "an answer with an empty blob")],
      ["unprotect", "ok", { value: "" }], // an empty secret is one
      // The statuses a session answers with are 2, 3 and 4 alone.
      ["protect", "error 5 write failed", notAnAnswer("protect")],
      ["unprotect", "error 0 bad input", notAnAnswer("unprotect")],
      ["unprotect", "error 1 bad input", notAnAnswer("unprotect")],
      ["protect", "error 6 bad input", notAnAnswer("protect")],
      ["protect", "error 9 bad input", notAnAnswer("protect")],
      ["protect", "error 23 bad input", notAnAnswer("protect")],
      ["protect", "error 03 bad input", notAnAnswer("protect")],
      ["protect", "error -3 bad input", notAnAnswer("protect")],
      ["protect", "error 3", notAnAnswer("protect")],
      ["protect", "error 3 ", notAnAnswer("protect")],
      ["protect", "error 2 unknown command", { code: "USAGE", status: 2 }],
      ["unprotect", "error 3 bad input", { code: "BAD_INPUT", status: 3 }],
      ["unprotect", "error 4 DPAPI unprotect failed (error 13)",
        { code: "DPAPI_FAILED", status: 4 }],
    ];
    for (const [command, line, expected] of cases) {
      const session = client.session();
      const input = Buffer.concat([Buffer.alloc(4, 0xaa), Buffer.from(line, "latin1")]);
      const { value, error } = await outcome(session[command](input));
      assert.deepEqual(error === undefined ? { value: Buffer.from(value).toString("hex") }
        : fields(error, Object.keys(expected)), expected, line);
      await session.close();
      assert.deepEqual(await spawns.at(-1).ended, expected.code === "PROTOCOL"
        ? { status: null, signal: "SIGKILL" } : { status: 0, signal: null }, line);
    }
    assert.equal(spawns.length, cases.length);
  });

  test("an answer with no call waiting ends the child: no later call can take it", async (t) => {
    const spawns = watchSpawns(t);
    const session = standIn().client().session();
    // Its answer, and a second line in the same write, when no call waits any more.
    const secret = secretOf(0xbb);
    assert.ok((await session.protect(secret)).equals(blobOf(secret)));
    const next = randomBytes(4);
    assert.ok((await session.protect(next)).equals(blobOf(next)));
    await session.close();
    assert.equal(spawns.length, 2, "the next call went to the child that broke the protocol");
    assert.deepEqual(await spawns[0].ended, { status: null, signal: "SIGKILL" });
  });

  test("an answer that never ends is cut off at the cap, not held", async (t) => {
    // The child writes without a line feed until it is killed (or, should the client hold it all,
    // until 8 MiB past the cap, when it exits and the call would fail another way).
    const spawns = watchSpawns(t);
    const session = standIn().client().session();
    const [flooded, queued] = await Promise.all(
      [secretOf(0xff), randomBytes(4)].map((secret) => outcome(session.protect(secret))));
    assert.deepEqual(fields(flooded.error, ["code", "message"]), { code: "PROTOCOL",
      message: `velkor-dpapi protect: an answer over ${MAX_ANSWER_BYTES} bytes` });
    assert.deepEqual(fields(queued.error, ["code", "message"]), { code: "SESSION_ENDED",
      message: "velkor-dpapi protect: not answered: the tool broke its protocol" });
    assert.deepEqual(await spawns[0].ended, { status: null, signal: "SIGKILL" });
  });

  test("refuses options that are not a plain object with an idleMs in range", () => {
    const client = standIn().client();
    for (const options of [null, [], new URL("file:///"), { idleMs: -1 }, { idleMs: 1.5 }]) {
      assert.throws(() => client.session(options), { name: "TypeError" });
    }
  });

  test("an idle session ends its child by the end of its input, then starts another",
    async (t) => {
      const spawns = watchSpawns(t);
      const session = standIn().client().session({ idleMs: 200 });
      const secret = randomBytes(5);
      assert.ok((await session.protect(secret)).equals(blobOf(secret)));
      assert.deepEqual(await spawns[0].ended, { status: 0, signal: null });
      assert.ok((await session.unprotect(blobOf(secret))).equals(secret));
      assert.equal(spawns.length, 2);
      await session.close();
    });

  // A process that leaves its session open (and a long idle time) still ends once its work is
  // done: an idle session holds nothing that keeps Node running.
  test("an idle session never holds the event loop open", async () => {
    const tool = standIn();
    const script = join(folder, "wallet.mjs");
    writeFileSync(script, `import { createClient } from ${JSON.stringify(
      new URL("../index.js", import.meta.url).href)};
const launcher = process.platform === "win32" ? [process.execPath] : [];
const client = createClient(${JSON.stringify(tool.path)}, { launcher });
const session = client.session({ idleMs: 600000 });
const blob = await session.protect(Uint8Array.of(1, 2));
process.stdout.write(Buffer.from(blob).toString("hex"));
`);
    const started = performance.now();
    const { status, stdout, signal } = childProcess.spawnSync(process.execPath, [script],
      { encoding: "latin1", timeout: 30_000 });
    assert.deepEqual({ status, stdout, signal }, { status: 0, stdout: "b10102", signal: null });
    // Far below the idle time: the wallet did not wait for it.
    assert.ok(performance.now() - started < 25_000);
  });

  test("every buffer the client made is wiped once the calls settle", async (t) => {
    const spawns = watchSpawns(t);
    const session = standIn().client().session();
    const before = await activeResources();
    const made = watchAllocations(t);
    const secret = randomBytes(40);
    await session.protect(Uint8Array.of(1)).then((blob) => blob.fill(0));
    // An answer longer than the line buffer's first size: it grows. The child has started, so
    // the deadline is only the hanging call's.
    const outcomes = await Promise.all([
      outcome(session.unprotect(blobOf(randomBytes(2000)))),
      outcome(session.protect(secret)),
      outcome(session.unprotect(blobOf(secret))),
      outcome(session.unprotect(Buffer.of(7))),
      outcome(session.protect(secretOf(0xee), { timeoutMs: 1000 })),
      outcome(session.protect(randomBytes(70))),
    ]);
    const values = outcomes.map(({ value }) => value).filter(Boolean);
    assert.equal(values.length, 3);
    assert.deepEqual(outcomes.map(({ error }) => error?.code),
      [undefined, undefined, undefined, "DPAPI_FAILED", "TIMEOUT", "SESSION_ENDED"]);
    await spawns[0].ended;
    const unwiped = [...made].filter((bytes) => !values.includes(bytes) && !isZero(bytes));
    assert.deepEqual(unwiped.map((bytes) => bytes.toString("latin1", 0, 64)), []);
    assert.deepEqual(made.onHeap, [], "buffers the client made inside V8's heap");
    assert.deepEqual(made.copiedByNode, [], "bytes the client copied by Node's own copy");
    for (const chunk of [...spawns[0].written, ...spawns[0].readInto]) {
      assert.ok(isZero(chunk), "a buffer written or read into, left unwiped");
    }
    assert.equal(spawns[0].written.length, 7);
    assert.deepEqual(await activeResources(), before,
      "resources left keeping this process running");
  });
});

describe("batches", { timeout: 60_000 }, () => {
  // Each batch lets its child go as it settles, by the end of its input: with the client's timers
  // held still (so no idle time can end it), the child ends all the same.
  test("protectMany and unprotectMany end their child once the batch has settled", async (t) => {
    if (t.mock.timers === undefined) {
      t.skip("this Node.js has no mock timers (18.19 and 20.4 on have)");
      return;
    }
    try {
      t.mock.timers.enable({ apis: ["setTimeout"] });
    } catch {
      t.mock.timers.enable(["setTimeout"]); // Node.js 18's form
    }
    // Node.js 18's held timers have no unref(), which the client calls on its idle timer.
    if (typeof setTimeout(() => {}, 0).unref !== "function") {
      t.skip("this Node.js's mock timers have no unref() (20.4 and later's have)");
      return;
    }
    const spawns = watchSpawns(t);
    const client = standIn().client();
    const secret = randomBytes(8);
    for (const [batch, inputs] of [["protectMany", [secret, "not bytes"]],
      ["unprotectMany", [blobOf(secret), Buffer.of(9)]]]) {
      const outcomes = await client[batch](inputs);
      assert.deepEqual(outcomes.map(({ status }) => status), ["fulfilled", "rejected"], batch);
      assert.deepEqual(await within(30_000, spawns.at(-1).ended), { status: 0, signal: null },
        `${batch}: its child still runs 30 s after the batch settled`);
    }
    assert.equal(spawns.length, 2);
  });

  test("protectMany and unprotectMany: one child each, an outcome per item in order",
    async (t) => {
      const spawns = watchSpawns(t);
      const client = standIn().client();
      const secrets = Array.from({ length: 50 }, (_, i) => randomBytes(i + 1));
      const sealed = await client.protectMany(secrets);
      assert.deepEqual(sealed.map(({ status }) => status), secrets.map(() => "fulfilled"));
      const blobs = sealed.map(({ value }) => value);
      blobs[7] = Buffer.of(9, 9);
      blobs[8] = "b1";
      const opened = await client.unprotectMany(blobs);
      opened.forEach((result, i) => {
        if (i === 7) {
          assert.deepEqual([result.status, result.reason.code, result.reason.platformCode],
            ["rejected", "DPAPI_FAILED", 13]);
        } else if (i === 8) {
          assert.deepEqual([result.status, result.reason.name], ["rejected", "TypeError"]);
        } else {
          assert.equal(result.status, "fulfilled");
          assert.ok(result.value.equals(secrets[i]), `secret ${i}`);
        }
      });
      assert.equal(spawns.length, 2);
      assert.deepEqual(await client.protectMany([]), []);
      assert.equal(spawns.length, 2);
      await assert.rejects(client.protectMany(42), { name: "TypeError" });
    });
});
