// The client starts an executable it holds a SHA-256 for (a released client's pin of each
// platform package, or the caller's for its own copy) only as that very file, read before each
// start. A stand-in for the tool records each of its runs, so that a file the client refused is
// seen never to have started.
import assert from "node:assert/strict";
import { createHash } from "node:crypto";
import { execFileSync, spawnSync } from "node:child_process";
import fs from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";
import { after, describe, test } from "node:test";
import { createClient } from "../index.js";
import { exeIn, install } from "./install.js";

const root = fs.mkdtempSync(path.join(tmpdir(), "velkor-node-integrity-"));
after(() => fs.rmSync(root, { recursive: true, force: true }));
const posixOnly = process.platform === "win32" ? "POSIX only" : false;
// On Windows a stand-in runs through Node as its launcher; elsewhere by its "#!" line.
const launcher = process.platform === "win32" ? [process.execPath] : [];

// Answers the self-test, a one-shot protect (blob "b1") and each line of a session ("ok b1"),
// after appending its command word to the runs file. `mark` makes two stand-ins differ.
function standIn(file, runs, mark = "") {
  fs.mkdirSync(path.dirname(file), { recursive: true });
  fs.writeFileSync(file, `#!${process.execPath}
// ${mark}
const command = process.argv[2];
require("node:fs").appendFileSync(${JSON.stringify(runs)}, command + "\\n");
let input = "";
process.stdin.on("data", (chunk) => {
  input += chunk;
  if (command !== "session") return;
  for (let end; (end = input.indexOf("\\n")) >= 0; input = input.slice(end + 1)) {
    process.stdout.write("ok b1\\n");
  }
});
process.stdin.on("end", () => {
  if (command !== "session") process.stdout.write(command === "selftest" ? "ok\\n" : "b1\\n");
});
`, { mode: 0o755 });
  return file;
}

const sha256 = (file) => createHash("sha256").update(fs.readFileSync(file)).digest("hex");
const runsOf = (runs) => (fs.existsSync(runs) ? fs.readFileSync(runs, "utf8") : "");
// How many times the stand-ins recording to `runs` were started.
const starts = (runs) => runsOf(runs).split("\n").length - 1;

// One call of each kind through the client, each outcome "ok" or the error's code and message.
async function callEach(client) {
  // The error class of the client's own copy: a released client is another module here.
  const outcome = (promise) => promise.then(() => "ok", (error) => {
    assert.equal(error.name, "VelkorDpapiError", error.stack);
    return `${error.code}: ${error.message}`;
  });
  const session = client.session();
  const batch = await client.protectMany([Uint8Array.of(1), Uint8Array.of(2)]);
  const outcomes = {
    selftest: await outcome(client.selftest()),
    protect: await outcome(client.protect(Uint8Array.of(1))),
    session: await outcome(session.protect(Uint8Array.of(1))),
    batch: await Promise.all(batch.map(({ status, value, reason }) =>
      outcome(status === "fulfilled" ? Promise.resolve(value) : Promise.reject(reason)))),
  };
  await session.close();
  return outcomes;
}

const ALL_RUN = { selftest: "ok", protect: "ok", session: "ok", batch: ["ok", "ok"] };
const refused = (file, actual, expected) => {
  const why = actual === null ? "is not a regular file"
    : actual === "too large" ? "is not the executable this client may run (over 67108864 bytes)"
      : "is not the executable this client may run (its SHA-256 begins " +
        `${actual.slice(0, 16)}, the pinned one ${expected.slice(0, 16)})`;
  const message = (command) => `INTEGRITY: velkor-dpapi ${command}: not started: ${file} ${why}`;
  return { selftest: message("selftest"), protect: message("protect"),
    session: message("protect"), batch: [message("protect"), message("protect")] };
};

// The ways a file may come to differ from the one pinned: [name, how, true when it is still a
// file to hash, false when it is no file, "too large" when it is refused unread].
function tamperings(other) {
  const ways = [
    ["one byte changed", (file) => {
      const bytes = fs.readFileSync(file);
      bytes[bytes.length - 2] ^= 0x20; // inside the last line: the script still runs
      fs.writeFileSync(file, bytes);
    }, true],
    ["one byte appended", (file) => fs.appendFileSync(file, "\n"), true],
    // Refused unread: hashing it would hold the wallet's process for seconds.
    ["a file of a gibibyte", (file) => fs.truncateSync(file, 1 << 30), "too large"],
    ["another program in its place", (file) => fs.copyFileSync(other, file), true],
    ["a folder in its place", (file) => {
      fs.rmSync(file);
      fs.mkdirSync(file);
    }, false],
  ];
  return ways;
}

function restore(file, saved) {
  fs.rmSync(file, { recursive: true, force: true });
  fs.writeFileSync(file, saved, { mode: 0o755 });
}

describe("an executable's SHA-256 given with its path", { timeout: 60_000 }, () => {
  const runs = path.join(root, "explicit.runs");
  const file = standIn(path.join(root, "explicit", "velkor-dpapi.exe"), runs);
  const other = standIn(path.join(root, "explicit", "other.exe"), runs, "another program");
  const digest = sha256(file);

  test("the file with that digest runs, at every start; a file that differs never starts",
    async () => {
      const saved = fs.readFileSync(file);
      // Either case of hex digits.
      const client = createClient(file, { launcher, sha256: digest.toUpperCase() });
      assert.deepEqual(await callEach(client), ALL_RUN);
      assert.equal(starts(runs), 4); // the batch and the session a child each
      for (const [way, tamper, isFile] of tamperings(other)) {
        tamper(file);
        const actual = isFile === true ? sha256(file) : isFile || null;
        assert.deepEqual(await callEach(client), refused(file, actual, digest), way);
        assert.equal(starts(runs), 4, `${way}: started`);
        restore(file, saved);
      }
      assert.deepEqual(await callEach(client), ALL_RUN);
      assert.equal(starts(runs), 8);
    });

  // Opened for reading as usual, a FIFO that nobody writes to would block this whole process,
  // its event loop and every timer with it: so the call is made by a child, given a while.
  test("a FIFO in its place is refused at once", { skip: posixOnly }, () => {
    const fifo = path.join(root, "explicit", "fifo.exe");
    execFileSync("mkfifo", [fifo]);
    const script = `
      const { createClient } = await import(${JSON.stringify(new URL("../index.js",
        import.meta.url).href)});
      await createClient(${JSON.stringify(fifo)}, { sha256: "${digest}" }).protect(
        Uint8Array.of(1)).catch((error) => console.log(error.code, error.message));`;
    const child = spawnSync(process.execPath, ["--input-type=module", "-e", script],
      { encoding: "utf8", timeout: 30_000 });
    assert.deepEqual([child.stdout, child.stderr, child.status, child.signal], [
      `INTEGRITY velkor-dpapi protect: not started: ${fifo} is not a regular file\n`, "", 0,
      null]);
  });

  test("a session checks each child it starts", async () => {
    const saved = fs.readFileSync(file);
    const session = createClient(file, { launcher, sha256: digest }).session();
    assert.deepEqual(await session.protect(Uint8Array.of(1)), Buffer.of(0xb1));
    await session.close();
    fs.appendFileSync(file, "\n");
    await assert.rejects(session.protect(Uint8Array.of(1)), { code: "INTEGRITY" });
    restore(file, saved);
    assert.deepEqual(await session.protect(Uint8Array.of(1)), Buffer.of(0xb1));
    await session.close();
  });

  test("the file is read once per start", async (t) => {
    const opens = t.mock.method(fs, "openSync");
    const reads = () => opens.mock.calls.filter(({ arguments: [opened] }) => opened === file);
    const client = createClient(file, { launcher, sha256: digest });
    const session = client.session();
    await Promise.all([1, 2, 3].map((byte) => session.protect(Uint8Array.of(byte))));
    await session.close();
    assert.equal(reads().length, 1, "a session of three calls");
    await client.unprotectMany([Uint8Array.of(0xb1), Uint8Array.of(0xb1)]);
    assert.equal(reads().length, 2, "and a batch");
    await client.protect(Uint8Array.of(1));
    await client.selftest();
    assert.equal(reads().length, 4, "and two one-shot calls");
  });

  test("a digest that is not 64 hex digits is a TypeError, as is one without a path", () => {
    for (const sha256 of ["", digest.slice(1), `${digest}0`, `${digest.slice(1)}g`,
      ` ${digest.slice(1)}`, 42, null, Buffer.from(digest, "hex"), [digest]]) {
      assert.throws(() => createClient(file, { sha256 }), { name: "TypeError",
        message: "velkor-dpapi: sha256 must be the executable's SHA-256, 64 hex digits" });
    }
    assert.throws(() => createClient({ sha256: digest, platform: "win32-x64" }), {
      name: "TypeError", message: "velkor-dpapi: sha256 goes with the executable's path (a " +
        "packaged executable is checked against its own package's digest)" });
  });
});

describe("a released client's pins", { skip: posixOnly, timeout: 60_000 }, () => {
  // A released client: the source tree's with pins.cjs as the release writes it.
  function released(name, pins) {
    const app = path.join(root, name);
    const { module, folder } = install(app);
    fs.writeFileSync(path.join(folder, "pins.cjs"),
      `"use strict";\n\nmodule.exports = Object.freeze(${JSON.stringify(pins, null, 2)});\n`);
    return { app, module, modules: path.join(app, "node_modules") };
  }

  test("each platform package's executable runs only with that package's pin", async () => {
    const runs = path.join(root, "packaged.runs");
    const stage = path.join(root, "packaged-files");
    const x64 = standIn(path.join(stage, "x64.exe"), runs, "x64");
    const arm64 = standIn(path.join(stage, "arm64.exe"), runs, "arm64");
    const { module, modules } = released("wallet", {
      "@velkor-dpapi/win32-arm64": sha256(arm64), "@velkor-dpapi/win32-x64": sha256(x64) });
    const { createClient: packagedClient } = await import(module);
    const forPlatform = (platform) => packagedClient({ platform });
    const [installedX64, installedArm64] = [exeIn(modules), exeIn(modules, "win32-arm64")];
    fs.mkdirSync(path.dirname(installedX64), { recursive: true });
    fs.mkdirSync(path.dirname(installedArm64), { recursive: true });
    fs.copyFileSync(x64, installedX64);
    fs.copyFileSync(arm64, installedArm64);
    const started = () => starts(runs);

    assert.deepEqual(await callEach(forPlatform("win32-x64")), ALL_RUN);
    assert.deepEqual(await callEach(forPlatform("win32-arm64")), ALL_RUN);
    assert.equal(started(), 8);
    // The x64 executable is pinned, but not for the ARM64 package.
    fs.copyFileSync(x64, installedArm64);
    assert.deepEqual(await callEach(forPlatform("win32-arm64")),
      refused(installedArm64, sha256(x64), sha256(arm64)));
    assert.deepEqual(await callEach(forPlatform("win32-x64")), ALL_RUN);
    assert.equal(started(), 12);
    // Without the ARM64 package, Windows on ARM64 runs the x64 one: with the x64 pin.
    fs.rmSync(path.dirname(installedArm64), { recursive: true });
    assert.deepEqual(await callEach(forPlatform("win32-arm64")), ALL_RUN);
    assert.equal(started(), 16);
    fs.appendFileSync(installedX64, "\n");
    for (const platform of ["win32-x64", "win32-arm64"]) {
      assert.deepEqual(await callEach(forPlatform(platform)),
        refused(installedX64, sha256(installedX64), sha256(x64)));
    }
    assert.equal(started(), 16);
  });

  test("a package it holds no pin for runs nothing", async () => {
    const runs = path.join(root, "unpinned.runs");
    const { module, modules } = released("wallet-without-a-pin",
      { "@velkor-dpapi/win32-x64": "0".repeat(64) });
    standIn(exeIn(modules, "win32-arm64"), runs);
    const { createClient: packagedClient } = await import(module);
    assert.throws(() => packagedClient({ platform: "win32-arm64" }), (error) => {
      assert.deepEqual([error.name, error.code, error.command, error.message],
        ["VelkorDpapiError", "INTEGRITY", null, "velkor-dpapi: this client holds no SHA-256 " +
          "for @velkor-dpapi/win32-arm64, so it does not run its executable: install " +
          "velkor-dpapi again"]);
      return true;
    });
    assert.equal(runsOf(runs), "");
  });
});
