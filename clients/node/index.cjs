// Drives the velkor-dpapi executable: one child process per call, hex through its standard
// streams, the outcome from its exit status. No shell, no PATH lookup, no native code.

"use strict";

// Looked up on the module object at each call, so a test can watch what is spawned.
const childProcess = require("node:child_process");
const { locatePackagedExecutable } = require("./packaged.cjs");
const { explainPlatformCode } = require("./reasons.cjs");

/** The largest secret (and blob) the tool reads: 33,554,430 hex digits. */
const MAX_SECRET_BYTES = 16_777_215;

// A sealed blob is a few hundred bytes longer than its secret: output far beyond the hex of the
// largest input is not the tool's answer, and the child is stopped.
const MAX_OUTPUT_BYTES = 2 * (MAX_SECRET_BYTES + 65_536) + 2;
const MAX_STDERR_BYTES = 65_536;
const DEFAULT_TIMEOUT_MS = 60_000;
// Once the tool has exited, how long the rest of its output may take to arrive. A process it left
// holding the pipes (Wine's services) would otherwise hold the call until that process ends; past
// this grace the call settles on what arrived, and also when a killed child has not been seen to
// exit.
const EXIT_GRACE_MS = 500;

const STATUS_CODES = new Map([
  [2, "USAGE"],
  [3, "BAD_INPUT"],
  [4, "DPAPI_FAILED"],
  [5, "WRITE_FAILED"],
]);

// The seal handler's and the self-test's failure messages; the number is GetLastError's, unsigned.
const PLATFORM_MESSAGE =
  /^(?:DPAPI (?:un)?protect failed \(error (\d{1,10})\)|(?:un)?protect failed (\d{1,10}))\r?\n$/;

const HEX_DIGITS = Buffer.from("0123456789abcdef", "latin1");

class VelkorDpapiError extends Error {
  constructor(message, { code, command, status = null, signal = null, platformCode = null,
                         reason = null, stderr = "", cause } = {}) {
    super(message, cause === undefined ? undefined : { cause });
    this.name = "VelkorDpapiError";
    this.code = code;
    this.command = command;
    this.status = status;
    this.signal = signal;
    this.platformCode = platformCode;
    this.reason = reason;
    this.stderr = stderr;
  }
}

/**
 * The absolute path of the executable installed with this package for the platform ("win32-x64";
 * this process's platform and architecture when omitted), found now; throws a VelkorDpapiError
 * with code "NO_EXECUTABLE" when there is none.
 */
function packagedExecutable(platform = `${process.platform}-${process.arch}`) {
  if (typeof platform !== "string") {
    throw new TypeError("velkor-dpapi: the platform must be a string such as \"win32-x64\"");
  }
  const { file, problem } = locatePackagedExecutable(platform);
  if (file === undefined) {
    throw new VelkorDpapiError(problem, { code: "NO_EXECUTABLE", command: null });
  }
  return file;
}

function createClient(executable, options = {}) {
  // createClient(options): the packaged executable, with these options.
  if (arguments.length === 1 && executable !== null && typeof executable === "object") {
    [executable, options] = [undefined, executable];
  }
  const { launcher = [], timeoutMs = DEFAULT_TIMEOUT_MS, env, platform } = options;
  if (executable !== undefined) requireAbsolute(executable, "executable");
  if (!Array.isArray(launcher) || !launcher.every((part) => typeof part === "string")) {
    throw new TypeError("velkor-dpapi: the launcher must be an array of strings");
  }
  if (launcher.length > 0) requireAbsolute(launcher[0], "launcher");
  requireTimeout(timeoutMs);
  // Resolved here, at the call, to an absolute path; never looked up on PATH.
  if (executable === undefined) executable = packagedExecutable(platform);
  const [file, ...prefix] = [...launcher, executable];
  const settings = { file, prefix, timeoutMs, env };

  const seal = async (command, input, callOptions = {}) =>
    decodeHexLine(await run(settings, command, encodeInput(command, input), callOptions), command);

  return Object.freeze({
    protect: (secret, callOptions) => seal("protect", secret, callOptions),
    unprotect: (blob, callOptions) => seal("unprotect", blob, callOptions),
    async selftest(callOptions = {}) {
      (await run(settings, "selftest", null, callOptions)).fill(0);
    },
  });
}

// Only a full path: a bare name or a relative one would be looked up on PATH or in the current
// folder, where anyone able to drop a file there could stand in for the tool.
function requireAbsolute(path, what) {
  const absolute = typeof path === "string" && !path.includes("\0") &&
    (process.platform === "win32" ? /^(?:[A-Za-z]:[\\/]|[\\/]{2}[^\\/])/ : /^\//).test(path);
  if (!absolute) throw new TypeError(`velkor-dpapi: the ${what} must be an absolute path`);
}

function requireTimeout(timeoutMs) {
  if (!Number.isInteger(timeoutMs) || timeoutMs < 0 || timeoutMs > 2_147_483_647) {
    throw new TypeError("velkor-dpapi: timeoutMs must be an integer from 0 (none) to 2147483647");
  }
}

function encodeInput(command, bytes) {
  if (!(bytes instanceof Uint8Array)) {
    throw new TypeError(`velkor-dpapi ${command}: the input must be a Uint8Array`);
  }
  if (bytes.length > MAX_SECRET_BYTES) {
    throw new VelkorDpapiError(
      `velkor-dpapi ${command}: ${bytes.length} bytes is over the limit of ${MAX_SECRET_BYTES}`,
      { code: "BAD_INPUT", command });
  }
  const hex = Buffer.alloc(bytes.length * 2);
  for (let i = 0; i < bytes.length; i++) {
    hex[2 * i] = HEX_DIGITS[bytes[i] >> 4];
    hex[2 * i + 1] = HEX_DIGITS[bytes[i] & 15];
  }
  return hex;
}

// The bytes of one line of lower-case hex digit pairs ending in "\n" or "\r\n"; anything else is
// a protocol error. The line is wiped either way.
function decodeHexLine(line, command) {
  const bytes = parseHexLine(line);
  line.fill(0);
  if (bytes === null) {
    throw protocolError(command, "standard output is not one line of lower-case hex");
  }
  // A sealed blob is never empty: storing an empty one would lose the secret.
  if (command === "protect" && bytes.length === 0) {
    throw protocolError(command, "standard output is an empty line, not a sealed blob");
  }
  return bytes;
}

function parseHexLine(line) {
  let digits = line.length - 1;
  if (digits < 0 || line[digits] !== 0x0a) return null;
  if (digits > 0 && line[digits - 1] === 0x0d) digits -= 1;
  if (digits % 2 !== 0) return null;
  const bytes = Buffer.alloc(digits / 2);
  for (let i = 0; i < digits; i += 2) {
    const high = digitValue(line[i]);
    const low = digitValue(line[i + 1]);
    if (high < 0 || low < 0) {
      bytes.fill(0);
      return null;
    }
    bytes[i / 2] = (high << 4) | low;
  }
  return bytes;
}

function digitValue(code) {
  if (code >= 0x30 && code <= 0x39) return code - 0x30;
  if (code >= 0x61 && code <= 0x66) return code - 0x61 + 10;
  return -1;
}

function isLine(buffer, word) {
  return buffer.equals(Buffer.from(`${word}\n`)) || buffer.equals(Buffer.from(`${word}\r\n`));
}

function protocolError(command, what, stderr = "", status = 0) {
  return new VelkorDpapiError(`velkor-dpapi ${command}: ${what}`,
    { code: "PROTOCOL", command, status, stderr });
}

// Spawns the tool once, writes the input hex (if any) and closes standard input, and settles once
// the child has exited and its pipes have closed, or EXIT_GRACE_MS after its exit while something
// else holds them: with its standard output when it exited with status 0 and said nothing on
// standard error, else with an error. Every other buffer it held is wiped.
async function run({ file, prefix, timeoutMs: clientTimeout, env }, command, hex, callOptions) {
  let signal;
  let timeoutMs;
  try {
    ({ signal, timeoutMs = clientTimeout } = callOptions);
    requireTimeout(timeoutMs);
    if (signal !== undefined && !(signal instanceof AbortSignal)) {
      throw new TypeError(`velkor-dpapi ${command}: signal must be an AbortSignal`);
    }
    if (signal?.aborted) throw abortError(command, signal);
  } catch (error) {
    hex?.fill(0);
    throw error;
  }

  return new Promise((resolve, reject) => {
    const outChunks = [];
    let outLength = 0;
    const errChunks = [];
    let errLength = 0;
    let child = null;
    let stopped = null; // why this call killed the child
    let exit = null; // [status, signal] once the child has exited
    let timer;
    let grace;
    let drain;
    let settled = false;

    const finish = (error, stdout) => {
      if (settled) return;
      settled = true;
      clearTimeout(timer);
      clearTimeout(grace);
      clearImmediate(drain);
      signal?.removeEventListener("abort", onAbort);
      hex?.fill(0);
      for (const chunk of outChunks) chunk.fill(0);
      if (child !== null) {
        child.stdio.forEach((stream) => stream?.destroy());
        // A child that outlives its kill must not keep this process running.
        if (exit === null) child.unref();
      }
      if (error) {
        stdout?.fill(0);
        reject(error);
      } else {
        resolve(stdout);
      }
    };

    // Once killed, the child's output no longer counts.
    const stop = (error) => {
      if (stopped !== null || settled) return;
      stopped = error;
      if (exit !== null) return finish(error);
      child.kill("SIGKILL");
      grace = setTimeout(() => finish(error), EXIT_GRACE_MS);
    };

    // The outcome of an exit from what its pipes carried. A line cut short is never taken: every
    // answer must end with its line end.
    const answer = () => {
      if (settled) return;
      const [status, killSignal] = exit;
      const errBytes = Buffer.concat(errChunks);
      const stderr = errBytes.toString("utf8");
      errBytes.fill(0);
      const stdout = Buffer.alloc(outLength);
      let offset = 0;
      for (const chunk of outChunks) offset += chunk.copy(stdout, offset);
      finish(outcome(command, status, killSignal, stdout, stderr), stdout);
    };

    const onAbort = () => stop(abortError(command, signal));

    try {
      child = childProcess.spawn(file, [...prefix, command],
        { shell: false, windowsHide: true, stdio: ["pipe", "pipe", "pipe"], env });
    } catch (cause) {
      finish(spawnError(command, cause));
      return;
    }

    child.on("error", (cause) => {
      // Before the child runs this is a failed spawn; afterwards only a failed kill, whose outcome
      // the exit reports.
      if (child.pid === undefined) finish(spawnError(command, cause));
    });
    // A tool that fails early closes its input: its status says why.
    child.stdin.on("error", () => {});
    child.stdout.on("data", (chunk) => {
      outChunks.push(chunk);
      outLength += chunk.length;
      if (outLength > MAX_OUTPUT_BYTES) {
        stop(protocolError(command, `standard output is over ${MAX_OUTPUT_BYTES} bytes`, "", null));
      }
    });
    child.stderr.on("data", (chunk) => {
      if (errLength < MAX_STDERR_BYTES) {
        errChunks.push(chunk.subarray(0, MAX_STDERR_BYTES - errLength));
      }
      errLength += chunk.length;
    });
    // Its pipes close once the output has all arrived, unless a process it started holds them:
    // then the output is taken as it stands after the grace and one more turn of the event loop,
    // which reads what already waits in the pipes however long this process was kept busy.
    child.on("exit", (status, killSignal) => {
      if (settled) return;
      exit = [status, killSignal];
      if (stopped !== null) return finish(stopped);
      clearTimeout(timer);
      grace = setTimeout(() => (drain = setImmediate(answer)), EXIT_GRACE_MS);
    });
    child.on("close", () => {
      if (stopped !== null) return finish(stopped);
      answer();
    });

    if (timeoutMs > 0) {
      timer = setTimeout(() => stop(new VelkorDpapiError(
        `velkor-dpapi ${command}: no answer within ${timeoutMs} ms`, { code: "TIMEOUT", command })),
        timeoutMs);
    }
    signal?.addEventListener("abort", onAbort, { once: true });

    if (hex !== null) child.stdin.write(hex, () => hex.fill(0));
    child.stdin.end();
  });
}

// The error for a child that exited on its own, or null when it succeeded.
function outcome(command, status, killSignal, stdout, stderr) {
  if (status === null) {
    return new VelkorDpapiError(`velkor-dpapi ${command}: killed by ${killSignal}`,
      { code: "SIGNAL", command, signal: killSignal, stderr });
  }
  if (status === 0) {
    if (stderr !== "") {
      return protocolError(command, "status 0 with a message on standard error", stderr);
    }
    if (command === "selftest" && !isLine(stdout, "ok")) {
      return protocolError(command, "standard output is not \"ok\"");
    }
    return null;
  }
  const code = STATUS_CODES.get(status);
  if (code === undefined) return protocolError(command, `exit status ${status}`, stderr, status);
  const match = code === "DPAPI_FAILED" ? PLATFORM_MESSAGE.exec(stderr) : null;
  const number = match === null ? null : Number(match[1] ?? match[2]);
  const platformCode = number !== null && number <= 0xffff_ffff ? number : null;
  // The self-test's verdict: status 4 with "mismatch" on standard output.
  const mismatch = code === "DPAPI_FAILED" && command === "selftest" && isLine(stdout, "mismatch");
  const detail = stderr.trim() || (mismatch ? "mismatch" : `exit status ${status}`);
  // A known code says, in plain words, what happened and what the caller can do.
  const known = platformCode === null ? null : explainPlatformCode(platformCode, command);
  const explained = known === null ? "" : `: ${known.reason}: ${known.happened}. ${known.action}.`;
  return new VelkorDpapiError(`velkor-dpapi ${command}: ${detail}${explained}`,
    { code, command, status, platformCode, reason: known?.reason ?? null, stderr });
}

function abortError(command, signal) {
  return new VelkorDpapiError(`velkor-dpapi ${command}: aborted`,
    { code: "ABORTED", command, cause: signal.reason });
}

function spawnError(command, cause) {
  return new VelkorDpapiError(`velkor-dpapi ${command}: could not start: ${cause.message}`,
    { code: "SPAWN_FAILED", command, cause });
}

module.exports = { MAX_SECRET_BYTES, VelkorDpapiError, createClient, packagedExecutable };
