"use strict";

// A session: one child of the tool (`velkor-dpapi session`) for many calls. A request is one line,
// "protect <hex>\n" or "unprotect <hex>\n"; the tool answers each, in order, with "ok <hex>\n" or
// "error <status> <message>\n" ("\r\n" under Windows). Answers come in the order of the requests,
// so a queue pairs them. The answers are read while requests are written, so neither pipe fills.

const { MAX_SECRET_BYTES, callDeadline, isPlainObject, requireInput } = require("./checks.cjs");
const {
  VelkorDpapiError, abortError, exitError, protocolError, spawnError, statusError, timeoutError,
} = require("./errors.cjs");
const {
  copyBytes, decodeHex, encodeHex, lineContentEnd, secretBuffer, wipe,
} = require("./hex.cjs");
const { startTool } = require("./tool.cjs");

/** How long an idle session keeps its child, by default. */
const SESSION_IDLE_MS = 1000;
// How long a child given the end of its input may take to exit before it is killed.
const RETIRE_MS = 5000;
// The longest answer: "ok ", the hex of the largest blob, "\r\n".
const MAX_ANSWER_BYTES = 3 + 2 * (MAX_SECRET_BYTES + 65_536) + 2;
const ERROR_ANSWER = /^([234]) ([^\r\n]+)$/;

// Joins the chunks of the tool's output into lines, in one buffer of its own. Each chunk is wiped
// once copied in, each line once handled, the old buffer when it grows, and the whole at dispose.
class LineSplitter {
  constructor(maxLine) {
    this.buffer = secretBuffer(1024);
    this.length = 0;
    this.maxLine = maxLine;
  }

  // Calls onLine(line) with each whole line, a view wiped once onLine returns; stops when onLine
  // returns false. Returns false when a line has run past maxLine.
  push(chunk, onLine) {
    const needed = this.length + chunk.length;
    if (needed > this.buffer.length) {
      const bigger = secretBuffer(Math.max(needed, 2 * this.buffer.length));
      copyBytes(this.buffer, bigger, 0, 0, this.length);
      wipe(this.buffer);
      this.buffer = bigger;
    }
    copyBytes(chunk, this.buffer, this.length);
    wipe(chunk);
    let start = 0;
    let from = this.length;
    this.length = needed;
    const filled = this.buffer.subarray(0, this.length);
    for (;;) {
      const end = filled.indexOf(0x0a, from);
      if (end < 0) break;
      const line = filled.subarray(start, end + 1);
      const goOn = onLine(line);
      wipe(line);
      start = from = end + 1;
      if (goOn === false) {
        this.dispose();
        return true;
      }
    }
    if (start > 0) {
      copyBytes(this.buffer, this.buffer, 0, start, this.length);
      this.buffer.fill(0, this.length - start, this.length);
      this.length -= start;
    }
    return this.length <= this.maxLine;
  }

  dispose() {
    wipe(this.buffer);
    this.length = 0;
  }
}

// The outcome of one answer line for a call: { value } or { error }; protocol: true when the
// line breaks the grammar, after which no later answer can be trusted.
function readAnswer(command, line) {
  const end = lineContentEnd(line);
  if (line[0] === 0x6f && line[1] === 0x6b && (end === 2 || line[2] === 0x20)) { // "ok"
    const value = decodeHex(line, Math.min(3, end), end);
    if (value === null) {
      return { protocol: true, error: protocolError(command, "an answer that is not \"ok\" and " +
        "lower-case hex", "", null) };
    }
    // A sealed blob is never empty: storing an empty one would lose the secret.
    if (command === "protect" && value.length === 0) {
      return { protocol: true,
        error: protocolError(command, "an answer with an empty blob", "", null) };
    }
    return { value };
  }
  const text = line.toString("utf8", 0, end);
  const match = text.startsWith("error ") ? ERROR_ANSWER.exec(text.slice(6)) : null;
  if (match === null) {
    return { protocol: true,
      error: protocolError(command, "an answer that is neither \"ok\" nor \"error\"", "", null) };
  }
  return { error: statusError(command, Number(match[1]), `${match[2]}\n`, { detail: match[2] }) };
}

function sessionEnded(command, why) {
  return new VelkorDpapiError(`velkor-dpapi ${command}: not answered: ${why}`,
    { code: "SESSION_ENDED", command });
}

/**
 * A session over the client's settings. Its child starts with the first call, and ends when the
 * session has been idle for idleMs, at close(), or with a call whose deadline passes or whose
 * signal fires; the next call then starts a new one.
 */
function createSession(settings, options = {}) {
  if (!isPlainObject(options)) {
    throw new TypeError("velkor-dpapi: the session's options must be a plain object");
  }
  const { idleMs = SESSION_IDLE_MS } = options;
  if (!Number.isInteger(idleMs) || idleMs < 0 || idleMs > 2_147_483_647) {
    throw new TypeError("velkor-dpapi: idleMs must be an integer from 0 to 2147483647");
  }
  let current = null; // the child now taking calls
  let idleTimer;

  const start = (command) => {
    const state = { pending: [], splitter: new LineSplitter(MAX_ANSWER_BYTES), tool: null,
      stopping: false, ended: false };
    state.gone = new Promise((resolve) => (state.onGone = resolve));
    try {
      state.tool = startTool(settings, command, ["session"], {
        onStdout: (chunk) => onOutput(state, chunk),
        onEnd: (result) => onChildEnd(state, result),
      });
    } catch (error) {
      state.splitter.dispose();
      throw error;
    }
    return state;
  };

  const onOutput = (state, chunk) => {
    if (state.stopping) return wipe(chunk);
    const fits = state.splitter.push(chunk, (line) => onAnswer(state, line));
    if (!fits && !state.stopping) {
      const [call] = state.pending;
      call?.fail(protocolError(call.command, `an answer over ${MAX_ANSWER_BYTES} bytes`, "", null));
      endChild(state, "the tool broke its protocol");
    }
  };

  const onAnswer = (state, line) => {
    const call = state.pending[0];
    if (call === undefined) {
      endChild(state, "the tool broke its protocol");
      return false;
    }
    const { value, error, protocol } = readAnswer(call.command, line);
    if (error) call.fail(error);
    else call.succeed(value);
    if (protocol) {
      endChild(state, "the tool broke its protocol");
      return false;
    }
    return true;
  };

  // The child ended: on its own (dead, or at the end of its input), or once stopped.
  const onChildEnd = (state, { error, status, signal, stderr }) => {
    state.ended = true;
    if (current === state) current = null;
    state.splitter.dispose();
    for (const call of [...state.pending]) {
      if (error !== undefined) {
        call.fail(error.code === "SPAWN_FAILED" ? spawnError(call.command, error.cause) : error);
      } else {
        call.fail(exitError(call.command, status, signal, Buffer.alloc(0), stderr) ??
          protocolError(call.command, "the session ended without an answer", stderr, status));
      }
    }
    state.onGone();
  };

  // Ends the child at once; the calls still pending reject with SESSION_ENDED (or, when their
  // own signal fired too, ABORTED).
  const endChild = (state, why) => {
    if (current === state) current = null;
    if (state.stopping || state.ended) return;
    state.stopping = true;
    for (const call of [...state.pending]) {
      call.fail(call.signal?.aborted ? abortError(call.command, call.signal)
        : sessionEnded(call.command, why));
    }
    state.tool.stop(sessionEnded("session", why));
  };

  // A child is let go: given the end of its input, on which it exits, and killed if it has not
  // within RETIRE_MS. Idle, it no longer keeps this process running; closed, it does until it
  // has ended, as close()'s promise waits for that.
  const retire = (state, held) => {
    if (current === state) current = null;
    if (state.stopping || state.ended) return;
    state.stopping = true;
    state.tool.hold(held);
    state.tool.endInput();
    const kill = setTimeout(() => state.tool.stop(sessionEnded("session", "idle")), RETIRE_MS);
    if (!held) kill.unref();
    state.gone.then(() => clearTimeout(kill));
  };

  const settled = (state) => {
    if (state.pending.length > 0 || state.stopping || state.ended) return;
    state.tool.hold(false);
    clearTimeout(idleTimer);
    idleTimer = setTimeout(() => retire(state, false), idleMs);
    idleTimer.unref();
  };

  // Async, so that a wrong argument rejects, as a one-shot call's does.
  const call = async (command, input, callOptions = {}) => {
    requireInput(command, input);
    const { signal, timeoutMs } = callDeadline(command, callOptions ?? {}, settings.timeoutMs);
    const line = encodeHex(input, `${command} `, "\n");
    return new Promise((resolve, reject) => {
      let state;
      try {
        state = current ?? (current = start(command));
      } catch (error) {
        wipe(line); // could not start (SPAWN_FAILED), or a file not to be started (INTEGRITY)
        reject(error);
        return;
      }
      clearTimeout(idleTimer);
      let timer;
      const entry = {
        command,
        signal,
        deadlineAt: timeoutMs > 0 ? performance.now() + timeoutMs : Infinity,
        succeed: (value) => done() && resolve(value),
        fail: (error) => done() && reject(error),
      };
      const onAbort = () => {
        entry.fail(abortError(command, signal));
        endChild(state, "another call was aborted");
      };
      const done = () => {
        const at = state.pending.indexOf(entry);
        if (at < 0) return false;
        state.pending.splice(at, 1);
        clearTimeout(timer);
        signal?.removeEventListener("abort", onAbort);
        wipe(line);
        settled(state);
        return true;
      };
      state.pending.push(entry);
      state.tool.hold(true);
      if (timeoutMs > 0) {
        timer = setTimeout(() => {
          entry.fail(timeoutError(command, timeoutMs));
          endChild(state, "another call's deadline passed");
        }, timeoutMs);
      }
      signal?.addEventListener("abort", onAbort, { once: true });
      state.tool.write(line, () => wipe(line));
    });
  };

  return Object.freeze({
    protect: (secret, callOptions) => call("protect", secret, callOptions),
    unprotect: (blob, callOptions) => call("unprotect", blob, callOptions),
    /**
     * Ends the child: at once, rejecting the calls still pending, or with none, by the end of
     * its input. Resolves once it has ended.
     */
    close() {
      clearTimeout(idleTimer);
      const state = current;
      current = null;
      if (state === null) return Promise.resolve();
      if (state.pending.length > 0) endChild(state, "the session was closed");
      else retire(state, true);
      return state.gone;
    },
  });
}

// Runs each input through one session, and resolves with their outcomes in input order, in the
// shape of Promise.allSettled.
async function runMany(settings, command, inputs, callOptions) {
  if (inputs === null || typeof inputs?.[Symbol.iterator] !== "function" ||
      typeof inputs === "string") {
    throw new TypeError(`velkor-dpapi ${command}Many: the list must be an array of Uint8Array`);
  }
  const session = createSession(settings);
  const outcomes = await Promise.allSettled(
    [...inputs].map((input) => session[command](input, callOptions)));
  session.close();
  return outcomes;
}

module.exports = { createSession, runMany, SESSION_IDLE_MS };
