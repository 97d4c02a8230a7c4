"use strict";

// The checks of a call's arguments, shared by the one-shot calls and sessions.

const { VelkorDpapiError, abortError } = require("./errors.cjs");

/** The largest secret (and blob) the tool reads: 33,554,430 hex digits. */
const MAX_SECRET_BYTES = 16_777_215;

function isPlainObject(value) {
  if (value === null || typeof value !== "object") return false;
  const proto = Object.getPrototypeOf(value);
  return proto === Object.prototype || proto === null;
}

function requireTimeout(timeoutMs) {
  if (!Number.isInteger(timeoutMs) || timeoutMs < 0 || timeoutMs > 2_147_483_647) {
    throw new TypeError("velkor-dpapi: timeoutMs must be an integer from 0 (none) to 2147483647");
  }
}

function requireInput(command, bytes) {
  if (!(bytes instanceof Uint8Array)) {
    throw new TypeError(`velkor-dpapi ${command}: the input must be a Uint8Array`);
  }
  if (bytes.length > MAX_SECRET_BYTES) {
    throw new VelkorDpapiError(
      `velkor-dpapi ${command}: ${bytes.length} bytes is over the limit of ${MAX_SECRET_BYTES}`,
      { code: "BAD_INPUT", command });
  }
}

/** A call's { signal, timeoutMs } (the client's timeout by default); throws when it has fired. */
function callDeadline(command, callOptions, clientTimeout) {
  const { signal, timeoutMs = clientTimeout } = callOptions;
  requireTimeout(timeoutMs);
  if (signal !== undefined && !(signal instanceof AbortSignal)) {
    throw new TypeError(`velkor-dpapi ${command}: signal must be an AbortSignal`);
  }
  if (signal?.aborted) throw abortError(command, signal);
  return { signal, timeoutMs };
}

module.exports = { MAX_SECRET_BYTES, isPlainObject, requireTimeout, requireInput, callDeadline };
