// The client against the built tool: VELKOR_DPAPI_TOOL is its absolute path, and
// VELKOR_DPAPI_LAUNCHER, when set, the absolute path of the program that runs it (wine for the
// Windows build). The native build's stand-in for DPAPI keeps its key under HOME: each test gets
// a fresh one. Under Wine the prefix is the caller's (WINEPREFIX).
import assert from "node:assert/strict";
import childProcess, { spawnSync } from "node:child_process";
import { randomBytes } from "node:crypto";
import { mkdtempSync, readFileSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { before, beforeEach, describe, test } from "node:test";
import { createClient } from "../index.js";
import { isRunning } from "./processes.js";

const tool = process.env.VELKOR_DPAPI_TOOL;
const launcher = process.env.VELKOR_DPAPI_LAUNCHER ? [process.env.VELKOR_DPAPI_LAUNCHER] : [];
// The Windows runtime's text mode ends each line with "\r\n", on standard error too.
const windows = tool?.endsWith(".exe");
const lineEnd = windows ? "\r\n" : "\n";

const wineEnv = { WINEDEBUG: "-all", WINEDLLOVERRIDES: "mscoree,mshtml=" };

describe("the built tool", { skip: tool ? false : "VELKOR_DPAPI_TOOL is not set" }, () => {
  let client;
  let env;

  // The first Wine process of a session starts Wine's services, which inherit its standard
  // streams and hold them open until the session ends, seconds after its last process. Started
  // here without pipes, they leave the tests' pipes alone. Only a matter of speed: a call waits
  // for its pipes to close, or at most the client's short grace after the tool's exit.
  before(() => {
    if (launcher.length > 0) {
      spawnSync(launcher[0], [...launcher.slice(1), tool, "selftest"],
        { stdio: "ignore", env: { ...process.env, ...wineEnv } });
    }
  });

  beforeEach((t) => {
    env = { ...process.env };
    if (windows) {
      Object.assign(env, wineEnv);
    } else {
      env.HOME = mkdtempSync(join(tmpdir(), "velkor-node-home-"));
      delete env.XDG_DATA_HOME;
      t.after(() => rmSync(env.HOME, { recursive: true, force: true }));
    }
    client = createClient(tool, { launcher, env });
  });

  test("passes its self-test", async () => {
    assert.equal(await client.selftest(), undefined);
  });

  for (const size of [0, 1, 16 * 1024 * 1024 - 4096]) {
    test(`seals and opens a secret of ${size} bytes`, async () => {
      const secret = randomBytes(size);
      const blob = await client.protect(secret);
      assert.ok(blob.length > size);
      const opened = await client.unprotect(blob);
      assert.ok(opened.equals(secret), "the opened secret differs");
    });
  }

  // One child of the tool's session command for the whole list, each way; a blob that does not
  // open is answered in its place and the rest go on.
  test("200 secrets through one session each way", async (t) => {
    const realSpawn = childProcess.spawn;
    const spawn = t.mock.method(childProcess, "spawn", (...args) => realSpawn(...args));
    const secrets = Array.from({ length: 200 }, (_, i) => randomBytes(i % 65));
    const sealed = await client.protectMany(secrets);
    assert.deepEqual(sealed.map(({ status }) => status), secrets.map(() => "fulfilled"));
    const blobs = sealed.map(({ value }) => value);
    blobs.splice(100, 0, Uint8Array.of(0x00, 0xff));
    const opened = await client.unprotectMany(blobs);
    assert.equal(spawn.mock.callCount(), 2);
    const [refused] = opened.splice(100, 1);
    assert.deepEqual([refused.status, refused.reason.code, refused.reason.platformCode,
      refused.reason.stderr], ["rejected", "DPAPI_FAILED", 13, ""]);
    opened.forEach(({ status, value }, i) =>
      assert.ok(status === "fulfilled" && value.equals(secrets[i]), `secret ${i} differs`));
  });

  test("32 concurrent round trips", async () => {
    const secrets = Array.from({ length: 32 }, (_, i) => randomBytes(i * 37));
    const opened = await Promise.all(secrets.map(async (secret) =>
      client.unprotect(await client.protect(secret))));
    opened.forEach((bytes, i) => assert.ok(bytes.equals(secrets[i]), `secret ${i} differs`));
  });

  // As Wine's services do in a session that has not started them yet: a shell leaves a process
  // holding the pipes for a minute, then becomes the tool. No call waits for it, and the whole
  // answer of the largest secret is taken all the same.
  test("a process left holding the pipes", { skip: process.platform === "win32" && "POSIX sh" },
    async (t) => {
      const folder = mkdtempSync(join(tmpdir(), "velkor-node-holders-"));
      const pids = join(folder, "pids");
      const holders = () => readFileSync(pids, "latin1").split("\n").filter(Boolean).map(Number);
      t.after(() => {
        for (const pid of holders().filter(isRunning)) process.kill(pid, "SIGKILL");
        rmSync(folder, { recursive: true, force: true });
      });
      const holding = createClient(tool, { env,
        launcher: ["/bin/sh", "-c", 'sleep 60 & echo $! >> "$0"; exec "$@"', pids, ...launcher] });
      for (const size of [1, 16 * 1024 * 1024 - 4096]) {
        const secret = randomBytes(size);
        const blob = await holding.protect(secret);
        assert.ok(isRunning(holders().at(-1)), "protect waited for the holder");
        const opened = await holding.unprotect(blob);
        assert.ok(isRunning(holders().at(-1)), "unprotect waited for the holder");
        assert.ok(opened.equals(secret), `the opened secret of ${size} bytes differs`);
      }
      assert.equal(holders().length, 4);
    });

  test("a blob that does not open", async () => {
    const changed = await client.protect(Buffer.from("velkor"));
    changed[changed.length - 1] ^= 1;
    for (const blob of [Uint8Array.of(0x00, 0xff, 0x00, 0xff), changed]) {
      const stderr = `DPAPI unprotect failed (error 13)${lineEnd}`;
      await assert.rejects(client.unprotect(blob), {
        name: "VelkorDpapiError", code: "DPAPI_FAILED", command: "unprotect", status: 4,
        signal: null, platformCode: 13, reason: "ERROR_INVALID_DATA", stderr,
        message: "velkor-dpapi unprotect: DPAPI unprotect failed (error 13): ERROR_INVALID_DATA: " +
          "the blob does not open: it was changed or cut short, or sealed with other entropy. " +
          "It cannot be opened as it is: restore the blob from a backup, or enrol the secret " +
          "again.",
      });
    }
  });

  // The stand-in's blob marker and version, and no key yet in the fresh profile.
  test("a code with its top bit set", { skip: windows && "the stand-in's code" }, async () => {
    await assert.rejects(client.unprotect(Buffer.from(`564b445001${"00".repeat(44)}`, "hex")), {
      code: "DPAPI_FAILED", status: 4, platformCode: 2148073483, reason: "NTE_BAD_KEY_STATE",
      stderr: "DPAPI unprotect failed (error 2148073483)\n",
    });
  });
});
