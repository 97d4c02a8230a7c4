// The client against stand-ins for the tool: small Node scripts, made here, that record their
// arguments and input and answer as each case says, including every way the real tool cannot be
// made to fail. Spawns are watched through child_process to check what the client runs and wipes.
import assert from "node:assert/strict";
import childProcess from "node:child_process";
import { existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { after, describe, test } from "node:test";
import { setTimeout as sleep } from "node:timers/promises";
import { createClient, MAX_SECRET_BYTES, VelkorDpapiError } from "../index.js";
import { explainPlatformCode } from "../reasons.js";

const USAGE = "usage: velkor-dpapi protect|unprotect|selftest\n";
const posixOnly = process.platform === "win32" ? "POSIX only" : false;

const root = mkdtempSync(join(tmpdir(), "velkor-node-client-"));
// Characters a shell would act on: the client must pass the path as it is.
const folder = join(root, "a b;$(touch x)'c'");
mkdirSync(folder);
after(() => rmSync(root, { recursive: true, force: true }));

// It answers only once its input has ended: a client that left standard input open would see
// every call time out.
const STAND_IN_BODY = `
const fs = require("node:fs");
const input = [];
process.stdin.on("data", (chunk) => input.push(chunk));
process.stdin.on("end", () => {
  fs.writeFileSync(plan.record, JSON.stringify(
    { args: process.argv.slice(2), input: Buffer.concat(input).toString("latin1") }));
  if (plan.hang) {
    setInterval(() => {}, 1 << 30);
  } else if (plan.killWith) {
    process.kill(process.pid, plan.killWith);
  } else if (plan.flood) {
    process.stdout.write(Buffer.alloc(40 << 20, 0x30));
    setInterval(() => {}, 1 << 30);
  } else {
    process.stdout.write(Buffer.from(plan.stdout, "latin1"));
    process.stderr.write(Buffer.from(plan.stderr, "latin1"));
    process.exitCode = plan.status;
  }
});
`;

let standIns = 0;

// Writes a stand-in, run directly by its "#!" line on POSIX and through Node as the launcher on
// Windows, and returns its path, a client for it and what it recorded (null until it has).
function standIn({ stdout = "", stderr = "", status = 0, hang, killWith, flood } = {}) {
  const path = join(folder, `stand-in-${++standIns}.cjs`);
  const record = `${path}.json`;
  const plan = { stdout, stderr, status, hang, killWith, flood, record };
  const script = `#!${process.execPath}\nconst plan = ${JSON.stringify(plan)};\n${STAND_IN_BODY}`;
  writeFileSync(path, script, { mode: 0o755 });
  const launcher = process.platform === "win32" ? [process.execPath] : [];
  return {
    path,
    launcher,
    client: (options = {}) => createClient(path, { launcher, ...options }),
    recorded: () => (existsSync(record) ? JSON.parse(readFileSync(record, "latin1")) : null),
  };
}

const realSpawn = childProcess.spawn;

// Every spawn of the test, with the buffers written to the child and read from it. A child still
// running when the test ends is killed, so that a test the client fails to stop fails by its
// timeout instead of waiting forever.
function watchSpawns(t) {
  const spawns = [];
  t.after(() => {
    for (const { child } of spawns) {
      if (child.exitCode === null && child.signalCode === null) child.kill("SIGKILL");
    }
  });
  t.mock.method(childProcess, "spawn", (file, args, options) => {
    const child = realSpawn(file, args, options);
    const seen = { file, args, options, child, written: [], read: [] };
    const write = child.stdin.write;
    child.stdin.write = function (chunk, ...rest) {
      seen.written.push(chunk);
      return write.call(this, chunk, ...rest);
    };
    child.stdout.on("data", (chunk) => seen.read.push(chunk));
    spawns.push(seen);
    return child;
  });
  return spawns;
}

function errorFields(error) {
  assert.ok(error instanceof VelkorDpapiError, error);
  const { name, code, command, status, signal, platformCode, stderr, message } = error;
  return { name, code, command, status, signal, platformCode, stderr, message };
}

async function rejection(promise) {
  try {
    await promise;
  } catch (error) {
    return error;
  }
  assert.fail("the call succeeded");
}

const CALLS = {
  protect: (client) => client.protect(Uint8Array.of(0xde, 0xad, 0x0f)),
  unprotect: (client) => client.unprotect(Uint8Array.of(0xde, 0xad, 0x0f)),
  selftest: (client) => client.selftest(),
};

describe("answers the tool may give", () => {
  const SUCCESSES = [
    ["protect", "00ff\n", Buffer.of(0x00, 0xff)],
    ["unprotect", "0123456789abcdef\r\n", Buffer.from("0123456789abcdef", "hex")],
    ["unprotect", "\n", Buffer.alloc(0)],
    ["protect", "\r\n", Buffer.alloc(0)],
    ["selftest", "ok\n", undefined],
    ["selftest", "ok\r\n", undefined],
  ];
  for (const [command, stdout, expected] of SUCCESSES) {
    test(`${command} printing ${JSON.stringify(stdout)}`, async () => {
      const tool = standIn({ stdout });
      assert.deepEqual(await CALLS[command](tool.client()), expected);
    });
  }

  const detail = (command, text) => `velkor-dpapi ${command}: ${text}`;
  const NOT_HEX = "standard output is not one line of lower-case hex";
  // A known platform code adds its reason and plain words (their text: reasons.test.js).
  const explained = (command, code, text) => {
    const { reason, happened, action } = explainPlatformCode(code, command);
    return `${text}: ${reason}: ${happened}. ${action}.`;
  };
  // [command, stdout, stderr, status, expected code, platform code, message detail]
  const FAILURES = [
    ["protect", "", USAGE.replace("\n", "\r\n"), 2, "USAGE", null,
      "usage: velkor-dpapi protect|unprotect|selftest"],
    ["unprotect", "", "unknown command\n", 2, "USAGE", null, "unknown command"],
    ["protect", "", "bad input\r\n", 3, "BAD_INPUT", null, "bad input"],
    ["protect", "", "DPAPI protect failed (error 13)\n", 3, "BAD_INPUT", null,
      "DPAPI protect failed (error 13)"],
    ["unprotect", "", "DPAPI unprotect failed (error 13)\r\n", 4, "DPAPI_FAILED", 13,
      explained("unprotect", 13, "DPAPI unprotect failed (error 13)")],
    ["protect", "", "DPAPI protect failed (error 2148073483)\n", 4, "DPAPI_FAILED", 2148073483,
      explained("protect", 2148073483, "DPAPI protect failed (error 2148073483)")],
    ["unprotect", "", "DPAPI unprotect failed (error 4294967296)\n", 4, "DPAPI_FAILED", null,
      "DPAPI unprotect failed (error 4294967296)"],
    ["unprotect", "", "DPAPI unprotect failed (error 13) again\n", 4, "DPAPI_FAILED", null,
      "DPAPI unprotect failed (error 13) again"],
    ["selftest", "", "protect failed 87\r\n", 4, "DPAPI_FAILED", 87,
      explained("selftest", 87, "protect failed 87")],
    ["selftest", "", "unprotect failed 4294967295\n", 4, "DPAPI_FAILED", 4294967295,
      "unprotect failed 4294967295"],
    ["selftest", "mismatch\r\n", "", 4, "DPAPI_FAILED", null, "mismatch"],
    ["selftest", "mismatch\n", "unprotect failed 13\n", 4, "DPAPI_FAILED", 13,
      explained("selftest", 13, "unprotect failed 13")],
    ["unprotect", "", "", 4, "DPAPI_FAILED", null, "exit status 4"],
    ["protect", "00f", "write failed\n", 5, "WRITE_FAILED", null, "write failed"],
    ["selftest", "", "write failed\r\n", 5, "WRITE_FAILED", null, "write failed"],
    ["protect", "", "", 1, "PROTOCOL", null, "exit status 1"],
    ["unprotect", "00\n", "bad input\n", 7, "PROTOCOL", null, "exit status 7"],
    ["selftest", "", "", 255, "PROTOCOL", null, "exit status 255"],
    ["protect", "00ff\n", "warning\n", 0, "PROTOCOL", null,
      "status 0 with a message on standard error"],
    ...["", "00ff", "00FF\n", "0\n", "00f\n", "00 ff\n", "0x00\n", "00ff\n00\n", "00ff\n\n",
      "00ff\r", "00ff\r\r\n", "\r00ff\n", "\n00ff\n", "ok\n"]
      .map((stdout) => ["unprotect", stdout, "", 0, "PROTOCOL", null, NOT_HEX]),
    ...["", "ok", "OK\n", "ok\n\n", " ok\n", "mismatch\n", "00\n"]
      .map((stdout) => ["selftest", stdout, "", 0, "PROTOCOL", null,
        "standard output is not \"ok\""]),
  ];
  for (const [command, stdout, stderr, status, code, platformCode, text] of FAILURES) {
    const answer = `${JSON.stringify(stdout)} and ${JSON.stringify(stderr)}`;
    test(`${command} exiting ${status} after ${answer}`, async () => {
      const tool = standIn({ stdout, stderr, status });
      assert.deepEqual(errorFields(await rejection(CALLS[command](tool.client()))), {
        name: "VelkorDpapiError", code, command, status, signal: null, platformCode, stderr,
        message: detail(command, text),
      });
    });
  }

  test("death by a signal", { skip: posixOnly }, async () => {
    const tool = standIn({ killWith: "SIGTERM" });
    assert.deepEqual(errorFields(await rejection(tool.client().unprotect(Uint8Array.of(1)))), {
      name: "VelkorDpapiError", code: "SIGNAL", command: "unprotect", status: null,
      signal: "SIGTERM", platformCode: null, stderr: "",
      message: "velkor-dpapi unprotect: killed by SIGTERM",
    });
  });
});

describe("spawning", () => {
  test("runs the absolute path with the command word, no shell, and hex on standard input",
    async (t) => {
      const spawns = watchSpawns(t);
      const tool = standIn({ stdout: "0a0b\r\n" });
      assert.deepEqual(await tool.client().protect(Uint8Array.of(0xde, 0xad, 0x0f, 0x00, 0x9c)),
        Buffer.of(0x0a, 0x0b));
      assert.deepEqual(tool.recorded(), { args: ["protect"], input: "dead0f009c" });
      assert.equal(spawns.length, 1);
      const [{ file, args, options }] = spawns;
      assert.deepEqual([file, ...args], [...tool.launcher, tool.path, "protect"]);
      assert.equal(options.shell, false);
      assert.equal(options.windowsHide, true);
    });

  test("runs the tool through a launcher with its arguments", async (t) => {
    const spawns = watchSpawns(t);
    const tool = standIn({ stdout: "ok\n" });
    await createClient(tool.path, { launcher: [process.execPath, "--no-warnings"] }).selftest();
    assert.deepEqual(tool.recorded(), { args: ["selftest"], input: "" });
    assert.deepEqual([spawns[0].file, spawns[0].args],
      [process.execPath, ["--no-warnings", tool.path, "selftest"]]);
  });

  test("refuses a relative path or bare name before anything runs", (t) => {
    const spawns = watchSpawns(t);
    const tool = standIn();
    for (const executable of ["velkor-dpapi", "./velkor-dpapi", "build/velkor-dpapi", "", 42,
      null, `${tool.path}\0`]) {
      assert.throws(() => createClient(executable),
        { name: "TypeError", message: "velkor-dpapi: the executable must be an absolute path" });
    }
    for (const launcher of [["wine"], ["./wine"], [""]]) {
      assert.throws(() => createClient(tool.path, { launcher }),
        { name: "TypeError", message: "velkor-dpapi: the launcher must be an absolute path" });
    }
    assert.equal(spawns.length, 0);
  });

  test("a file that cannot be started", async (t) => {
    const notExecutable = join(folder, "not-executable");
    writeFileSync(notExecutable, "", { mode: 0o644 });
    const cases = [[join(folder, "missing"), "ENOENT"]];
    if (process.platform !== "win32") cases.push([notExecutable, "EACCES"]);
    for (const [path, errno] of cases) {
      const error = await rejection(createClient(path).selftest());
      assert.deepEqual([error.code, error.status, error.cause?.code],
        ["SPAWN_FAILED", null, errno]);
      assert.match(error.message, /^velkor-dpapi selftest: could not start: /);
    }
  });
});

describe("input", () => {
  for (const command of ["protect", "unprotect"]) {
    test(`${command} refuses more than ${MAX_SECRET_BYTES} bytes before spawning`, async (t) => {
      const spawns = watchSpawns(t);
      const tool = standIn({ stdout: "00\n" });
      const error = await rejection(tool.client()[command](new Uint8Array(MAX_SECRET_BYTES + 1)));
      assert.deepEqual(errorFields(error), {
        name: "VelkorDpapiError", code: "BAD_INPUT", command, status: null, signal: null,
        platformCode: null, stderr: "",
        message: `velkor-dpapi ${command}: 16777216 bytes is over the limit of 16777215`,
      });
      assert.equal(spawns.length, 0);

      assert.deepEqual(await tool.client()[command](new Uint8Array(MAX_SECRET_BYTES).fill(0xa5)),
        Buffer.of(0));
      assert.equal(tool.recorded().input, "a5".repeat(MAX_SECRET_BYTES));
    });
  }

  test("takes only a Uint8Array", async (t) => {
    const spawns = watchSpawns(t);
    const client = standIn().client();
    for (const input of ["00ff", [0, 255], new ArrayBuffer(2), new Uint16Array(1), null]) {
      await assert.rejects(client.protect(input),
        { name: "TypeError", message: "velkor-dpapi protect: the input must be a Uint8Array" });
    }
    assert.equal(spawns.length, 0);
  });
});

describe("wiping", () => {
  // [answer of the stand-in, whether the call succeeds]
  const CASES = [[{ stdout: "5eC2e7\n" }, false], [{ stdout: "5ec2e7\n" }, true],
    [{ stdout: "5ec2e7", stderr: "write failed\n", status: 5 }, false]];
  for (const [answer, succeeds] of CASES) {
    test(`the hex written and read when the tool prints ${JSON.stringify(answer.stdout)}`,
      async (t) => {
        const spawns = watchSpawns(t);
        const tool = standIn(answer);
        const call = tool.client().unprotect(Uint8Array.of(0xc0, 0xff, 0xee));
        if (succeeds) assert.deepEqual(await call, Buffer.of(0x5e, 0xc2, 0xe7));
        else await assert.rejects(call, VelkorDpapiError);
        assert.equal(tool.recorded().input, "c0ffee");
        const [{ written, read }] = spawns;
        assert.deepEqual(written.map((chunk) => chunk.length), [6]);
        assert.equal(Buffer.concat(read).length, answer.stdout.length);
        for (const chunk of [...written, ...read]) assert.ok(chunk.every((byte) => byte === 0));
      });
  }
});

// A client that failed to stop its child would fail these by the suite's timeout.
describe("stopping a call", { timeout: 30_000 }, () => {
  test("a tool that does not answer in time is killed", async (t) => {
    const spawns = watchSpawns(t);
    const tool = standIn({ hang: true });
    const error = await rejection(tool.client({ timeoutMs: 60_000 }).protect(Uint8Array.of(1),
      { timeoutMs: 200 }));
    assert.deepEqual(errorFields(error), {
      name: "VelkorDpapiError", code: "TIMEOUT", command: "protect", status: null, signal: null,
      platformCode: null, stderr: "", message: "velkor-dpapi protect: no answer within 200 ms",
    });
    assert.equal(spawns[0].child.signalCode, "SIGKILL");
  });

  test("an abort kills the running tool", async (t) => {
    const spawns = watchSpawns(t);
    const tool = standIn({ hang: true });
    const controller = new AbortController();
    let settled = false;
    const call = rejection(tool.client().unprotect(Uint8Array.of(1), { signal: controller.signal }))
      .finally(() => (settled = true));
    while (tool.recorded() === null && !settled) await sleep(10);
    const reason = new Error("the wallet is closing");
    controller.abort(reason);
    const error = await call;
    assert.deepEqual(errorFields(error), {
      name: "VelkorDpapiError", code: "ABORTED", command: "unprotect", status: null, signal: null,
      platformCode: null, stderr: "", message: "velkor-dpapi unprotect: aborted",
    });
    assert.equal(error.cause, reason);
    assert.equal(spawns[0].child.signalCode, "SIGKILL");
  });

  test("an aborted signal runs nothing", async (t) => {
    const spawns = watchSpawns(t);
    const reason = new Error("no");
    const signal = AbortSignal.abort(reason);
    const error = await rejection(standIn().client().selftest({ signal }));
    assert.deepEqual([error.code, error.cause], ["ABORTED", reason]);
    assert.equal(spawns.length, 0);
  });

  test("a flood of output is cut off", async (t) => {
    const spawns = watchSpawns(t);
    const tool = standIn({ flood: true });
    const error = await rejection(tool.client().unprotect(Uint8Array.of(1)));
    assert.deepEqual([error.code, error.status, error.message], ["PROTOCOL", null,
      "velkor-dpapi unprotect: standard output is over 33685504 bytes"]);
    assert.equal(spawns[0].child.signalCode, "SIGKILL");
    assert.ok(spawns[0].read.every((chunk) => chunk.every((byte) => byte === 0)));
  });
});
