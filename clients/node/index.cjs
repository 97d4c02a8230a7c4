// Drives the velkor-dpapi executable: a child process per call (or one per session), hex through
// its standard streams, the outcome from its exit status. No shell, no PATH lookup, no native
// code; a packaged executable started only with its package's SHA-256.

"use strict";

const { locatePackagedExecutable } = require("./packaged.cjs");
const PINS = require("./pins.cjs");
const { SHA256_HEX } = require("./integrity.cjs");
const {
  copyBytes, decodeHex, encodeHex, lineContentEnd, secretBuffer, wipe,
} = require("./hex.cjs");
const {
  VelkorDpapiError, abortError, exitError, protocolError, timeoutError,
} = require("./errors.cjs");
const { startTool } = require("./tool.cjs");
const { createSession, runMany } = require("./session.cjs");

const {
  MAX_SECRET_BYTES, callDeadline, isPlainObject, requireInput, requireTimeout,
} = require("./checks.cjs");

// A sealed blob is a few hundred bytes longer than its secret: output far beyond the hex of the
// largest input is not the tool's answer, and the child is stopped.
const MAX_OUTPUT_BYTES = 2 * (MAX_SECRET_BYTES + 65_536) + 2;
const DEFAULT_TIMEOUT_MS = 60_000;

/**
 * The absolute path of the executable installed with this package for the platform ("win32-x64";
 * this process's platform and architecture when omitted), found now; throws a VelkorDpapiError
 * with code "NO_EXECUTABLE" when there is none.
 */
function packagedExecutable(platform) {
  return packagedTool(platform).file;
}

// The packaged executable for the platform and the SHA-256 it must have: its package's pin in a
// released client; null in the source tree's, which has no pins (see pins.cjs).
function packagedTool(platform = `${process.platform}-${process.arch}`) {
  if (typeof platform !== "string") {
    throw new TypeError("velkor-dpapi: the platform must be a string such as \"win32-x64\"");
  }
  const { file, packageName, problem } = locatePackagedExecutable(platform);
  if (file === undefined) {
    throw new VelkorDpapiError(problem, { code: "NO_EXECUTABLE", command: null });
  }
  if (PINS === null) return { file, sha256: null };
  if (!Object.hasOwn(PINS, packageName)) {
    throw new VelkorDpapiError(`velkor-dpapi: this client holds no SHA-256 for ${packageName}, ` +
      "so it does not run its executable: install velkor-dpapi again",
    { code: "INTEGRITY", command: null });
  }
  return { file, sha256: PINS[packageName] };
}

// createClient(path, options), createClient(options) or createClient(undefined, options): a
// string path or a plain options object, nothing else (a URL, a String object or an array is no
// options object, and would silently lose what its caller meant).
function createClient(executable, options) {
  if (isPlainObject(executable) && options === undefined) {
    [executable, options] = [undefined, executable];
  }
  if (options === undefined) options = {};
  if (executable !== undefined) requireAbsolute(executable, "executable");
  if (!isPlainObject(options)) {
    throw new TypeError("velkor-dpapi: the options must be a plain object");
  }
  const { launcher = [], timeoutMs = DEFAULT_TIMEOUT_MS, env, platform, sha256 } = options;
  if (!Array.isArray(launcher) || !launcher.every((part) => typeof part === "string")) {
    throw new TypeError("velkor-dpapi: the launcher must be an array of strings");
  }
  if (launcher.length > 0) requireAbsolute(launcher[0], "launcher");
  requireTimeout(timeoutMs);
  let expected = requireDigest(sha256, executable);
  // Resolved here, at the call, to an absolute path; never looked up on PATH.
  if (executable === undefined) ({ file: executable, sha256: expected } = packagedTool(platform));
  const [file, ...prefix] = [...launcher, executable];
  // With a digest, each start first checks the executable's (tool.cjs).
  const settings = { file, prefix, timeoutMs, env, executable, sha256: expected };

  const seal = async (command, input, callOptions = {}) =>
    decodeHexLine(await run(settings, command, encodeInput(command, input), callOptions), command);

  return Object.freeze({
    protect: (secret, callOptions) => seal("protect", secret, callOptions),
    unprotect: (blob, callOptions) => seal("unprotect", blob, callOptions),
    async selftest(callOptions = {}) {
      (await run(settings, "selftest", null, callOptions)).fill(0);
    },
    session: (sessionOptions) => createSession(settings, sessionOptions),
    protectMany: (secrets, callOptions) => runMany(settings, "protect", secrets, callOptions),
    unprotectMany: (blobs, callOptions) => runMany(settings, "unprotect", blobs, callOptions),
  });
}

// Only a full path: a bare name or a relative one would be looked up on PATH or in the current
// folder, where anyone able to drop a file there could stand in for the tool.
function requireAbsolute(path, what) {
  const absolute = typeof path === "string" && !path.includes("\0") &&
    (process.platform === "win32" ? /^(?:[A-Za-z]:[\\/]|[\\/]{2}[^\\/])/ : /^\//).test(path);
  if (!absolute) throw new TypeError(`velkor-dpapi: the ${what} must be an absolute path`);
}

// The caller's SHA-256 of its own executable, in lower case; null without one. A packaged
// executable has its package's digest, never the caller's.
function requireDigest(sha256, executable) {
  if (sha256 === undefined) return null;
  if (typeof sha256 !== "string" || !SHA256_HEX.test(sha256.toLowerCase())) {
    throw new TypeError("velkor-dpapi: sha256 must be the executable's SHA-256, 64 hex digits");
  }
  if (executable === undefined) {
    throw new TypeError("velkor-dpapi: sha256 goes with the executable's path (a packaged " +
      "executable is checked against its own package's digest)");
  }
  return sha256.toLowerCase();
}

// The hex of the input, in a buffer of its own (see hex.cjs), ready to be written whole.
function encodeInput(command, bytes) {
  requireInput(command, bytes);
  return encodeHex(bytes);
}

// The bytes of one line of lower-case hex digit pairs ending in "\n" or "\r\n"; anything else is
// a protocol error. The line is wiped either way.
function decodeHexLine(line, command) {
  const end = lineContentEnd(line);
  const bytes = end < 0 ? null : decodeHex(line, 0, end);
  wipe(line);
  if (bytes === null) {
    throw protocolError(command, "standard output is not one line of lower-case hex");
  }
  // A sealed blob is never empty: storing an empty one would lose the secret.
  if (command === "protect" && bytes.length === 0) {
    throw protocolError(command, "standard output is an empty line, not a sealed blob");
  }
  return bytes;
}

// Spawns the tool once, writes the input hex (if any) and closes standard input, and settles once
// the tool has ended (see tool.cjs): with its standard output when it exited with status 0 and
// said nothing on standard error, else with an error. Every other buffer it held is wiped.
async function run(settings, command, hex, callOptions) {
  let signal;
  let timeoutMs;
  try {
    ({ signal, timeoutMs } = callDeadline(command, callOptions, settings.timeoutMs));
  } catch (error) {
    wipe(hex);
    throw error;
  }

  return new Promise((resolve, reject) => {
    const outChunks = [];
    let outLength = 0;
    let tool = null;
    let timer;
    let settled = false;

    const finish = (error, stdout) => {
      if (settled) return;
      settled = true;
      clearTimeout(timer);
      signal?.removeEventListener("abort", onAbort);
      wipe(hex);
      for (const chunk of outChunks) chunk.fill(0);
      if (error) {
        wipe(stdout);
        reject(error);
      } else {
        resolve(stdout);
      }
    };

    // The outcome of an exit from what its pipes carried. A line cut short is never taken: every
    // answer must end with its line end.
    const onEnd = ({ error, status, signal: killSignal, stderr }) => {
      if (error) return finish(error);
      const stdout = secretBuffer(outLength);
      let offset = 0;
      for (const chunk of outChunks) offset += copyBytes(chunk, stdout, offset);
      finish(exitError(command, status, killSignal, stdout, stderr), stdout);
    };
    const onStdout = (chunk) => {
      outChunks.push(chunk);
      outLength += chunk.length;
      if (outLength > MAX_OUTPUT_BYTES) {
        tool.stop(protocolError(command, `standard output is over ${MAX_OUTPUT_BYTES} bytes`, "",
          null));
      }
    };
    const onAbort = () => tool.stop(abortError(command, signal));

    try {
      // Once the tool has exited in time, the grace bounds the call, not the deadline.
      const onExit = () => clearTimeout(timer);
      tool = startTool(settings, command, [command], { onStdout, onExit, onEnd });
    } catch (error) {
      finish(error);
      return;
    }
    if (timeoutMs > 0) {
      timer = setTimeout(() => tool.stop(timeoutError(command, timeoutMs)), timeoutMs);
    }
    signal?.addEventListener("abort", onAbort, { once: true });

    if (hex !== null) tool.write(hex, () => wipe(hex));
    tool.endInput();
  });
}

module.exports = { MAX_SECRET_BYTES, VelkorDpapiError, createClient, packagedExecutable };
