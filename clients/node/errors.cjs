"use strict";

// The client's error, and the outcome of a tool's answer: its status (or the signal that ended
// it) and its message, mapped to the documented codes. Shared by the one-shot calls and sessions.

const { explainPlatformCode } = require("./reasons.cjs");

const STATUS_CODES = new Map([
  [2, "USAGE"],
  [3, "BAD_INPUT"],
  [4, "DPAPI_FAILED"],
  [5, "WRITE_FAILED"],
]);

// A console's Ctrl-C, as each platform reports it: Windows ends the process with
// STATUS_CONTROL_C_EXIT (0xC000013A, also seen as its signed value), Wine with status 58, and a
// POSIX system with SIGINT. One code for all, so a wallet tells an interrupt from a broken tool.
const INTERRUPT_STATUSES = new Set([58, 0xc000013a, 0xc000013a - 2 ** 32]);

// The seal handler's and the self-test's failure messages; the number is GetLastError's, unsigned.
const PLATFORM_MESSAGE =
  /^(?:DPAPI (?:un)?protect failed \(error (\d{1,10})\)|(?:un)?protect failed (\d{1,10}))\r?\n$/;

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

function protocolError(command, what, stderr = "", status = 0) {
  return new VelkorDpapiError(`velkor-dpapi ${command}: ${what}`,
    { code: "PROTOCOL", command, status, stderr });
}

function abortError(command, signal) {
  return new VelkorDpapiError(`velkor-dpapi ${command}: aborted`,
    { code: "ABORTED", command, cause: signal.reason });
}

function timeoutError(command, timeoutMs) {
  return new VelkorDpapiError(`velkor-dpapi ${command}: no answer within ${timeoutMs} ms`,
    { code: "TIMEOUT", command });
}

function spawnError(command, cause) {
  return new VelkorDpapiError(`velkor-dpapi ${command}: could not start: ${cause.message}`,
    { code: "SPAWN_FAILED", command, cause });
}

// The executable at `file` is not the one this client may run, for the reason given: it was never
// started.
function integrityError(command, file, why) {
  return new VelkorDpapiError(`velkor-dpapi ${command}: not started: ${file} ${why}`,
    { code: "INTEGRITY", command });
}

function isLine(buffer, word) {
  return buffer.equals(Buffer.from(`${word}\n`)) || buffer.equals(Buffer.from(`${word}\r\n`));
}

/**
 * The error for a failure the tool reported with a documented status (2 to 5) and its message
 * (its standard error, or a session's answer): the code, the platform's code for status 4, and
 * for a known one its reason and plain words. `fields` adds to the error (stderr).
 */
function statusError(command, status, text, { detail = text.trim(), ...fields } = {}) {
  const code = STATUS_CODES.get(status);
  const match = code === "DPAPI_FAILED" ? PLATFORM_MESSAGE.exec(text) : null;
  const number = match === null ? null : Number(match[1] ?? match[2]);
  const platformCode = number !== null && number <= 0xffff_ffff ? number : null;
  // A known code says, in plain words, what happened and what the caller can do.
  const known = platformCode === null ? null : explainPlatformCode(platformCode, command);
  const explained = known === null ? "" : `: ${known.reason}: ${known.happened}. ${known.action}.`;
  return new VelkorDpapiError(`velkor-dpapi ${command}: ${detail}${explained}`,
    { code, command, status, platformCode, reason: known?.reason ?? null, ...fields });
}

/** The error for a child that exited on its own, or null when it succeeded. */
function exitError(command, status, killSignal, stdout, stderr) {
  if (status === null) {
    const code = killSignal === "SIGINT" ? "INTERRUPTED" : "SIGNAL";
    return new VelkorDpapiError(`velkor-dpapi ${command}: killed by ${killSignal}`,
      { code, command, signal: killSignal, stderr });
  }
  if (INTERRUPT_STATUSES.has(status)) {
    return new VelkorDpapiError(`velkor-dpapi ${command}: interrupted (exit status ${status})`,
      { code: "INTERRUPTED", command, status, stderr });
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
  if (!STATUS_CODES.has(status)) {
    return protocolError(command, `exit status ${status}`, stderr, status);
  }
  // The self-test's verdict: status 4 with "mismatch" on standard output.
  const mismatch = status === 4 && command === "selftest" && isLine(stdout, "mismatch");
  const detail = stderr.trim() || (mismatch ? "mismatch" : `exit status ${status}`);
  return statusError(command, status, stderr, { detail, stderr });
}

module.exports = {
  VelkorDpapiError, protocolError, abortError, timeoutError, spawnError, integrityError,
  statusError, exitError,
};
