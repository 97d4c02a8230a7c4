"use strict";

// One child process of the tool: spawned with no shell, its standard error kept up to a cap, and
// its end reported once: when it has exited and its pipes have closed, EXIT_GRACE_MS after its exit
// while something else holds them, or when it is stopped. The one-shot call and the session both
// drive it; what goes through its pipes is theirs.

// Looked up on the module object at each spawn, so a test can watch what is spawned.
const { childProcess } = require("#builtins");
const { spawnError } = require("./errors.cjs");
const { copyBytes, secretBuffer } = require("./hex.cjs");
const { checkExecutable } = require("./integrity.cjs");

const MAX_STDERR_BYTES = 65_536;
// Once the tool has exited, how long the rest of its output may take to arrive. A process it left
// holding the pipes (Wine's services) would otherwise hold the call until that process ends; past
// this grace the call settles on what arrived, and also when a killed child has not been seen to
// exit.
const EXIT_GRACE_MS = 500;

/**
 * Starts the tool with these arguments. onStdout(chunk) gets each chunk of its standard output
 * (the receiver wipes it); onEnd gets, once, { error } when it could not start or was stopped, else
 * { status, signal, stderr } of its exit; onExit() is told of the exit itself, unless it was
 * stopped. With a digest (sha256), the executable is read and checked first, and not started
 * unless it has that digest: throws an INTEGRITY error then, and a SPAWN_FAILED one when it
 * cannot be read or spawn itself throws.
 */
function startTool({ file, prefix, env, executable, sha256 = null }, command, args,
  { onStdout, onExit = () => {}, onEnd }) {
  if (sha256 !== null) checkExecutable(command, executable, sha256);
  let child;
  try {
    child = childProcess.spawn(file, [...prefix, ...args],
      { shell: false, windowsHide: true, stdio: ["pipe", "pipe", "pipe"], env });
  } catch (cause) {
    throw spawnError(command, cause);
  }
  const errChunks = [];
  let errLength = 0;
  let stopped = null; // why the child was killed
  let exit = null; // [status, signal] once the child has exited
  let grace;
  let drain;
  let ended = false;

  const end = (result) => {
    if (ended) return;
    ended = true;
    clearTimeout(grace);
    clearImmediate(drain);
    child.stdio.forEach((stream) => stream?.destroy());
    // A child that outlives its kill must not keep this process running.
    if (exit === null) child.unref();
    onEnd(result);
  };

  // The exit's outcome, from what its standard error carried.
  const exited = () => {
    if (ended) return;
    const errBytes = Buffer.concat(errChunks);
    const stderr = errBytes.toString("utf8");
    errBytes.fill(0);
    end({ status: exit[0], signal: exit[1], stderr });
  };

  child.on("error", (cause) => {
    // Before the child runs this is a failed spawn; afterwards only a failed kill, whose outcome
    // the exit reports.
    if (child.pid === undefined) end({ error: spawnError(command, cause) });
  });
  // A tool that fails early closes its input: its status says why.
  child.stdin.on("error", () => {});
  readIntoOwnBuffer(child.stdout, (chunk) => {
    if (ended || stopped !== null) chunk.fill(0);
    else onStdout(chunk);
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
    if (ended) return;
    exit = [status, killSignal];
    if (stopped !== null) return end({ error: stopped });
    onExit();
    grace = setTimeout(() => (drain = setImmediate(exited)), EXIT_GRACE_MS);
  });
  child.on("close", () => {
    if (stopped !== null) return end({ error: stopped });
    exited();
  });

  return {
    child,
    /** Whether the child has exited (its output may still be arriving). */
    get exited() {
      return exit !== null;
    },
    write: (bytes, done) => child.stdin.write(bytes, done),
    endInput: () => child.stdin.end(),
    /** Kills the child; its end is reported with this error, whatever it does next. */
    stop(error) {
      if (stopped !== null || ended) return;
      stopped = error;
      if (exit !== null) return end({ error });
      child.kill("SIGKILL");
      grace = setTimeout(() => end({ error }), EXIT_GRACE_MS);
    },
    /** Whether the child and its pipes keep this process running. */
    hold(held) {
      if (ended) return;
      for (const target of [child, ...child.stdio]) {
        if (held) target?.ref?.();
        else target?.unref?.();
      }
    },
  };
}

// Node reads a pipe into a 64 KiB buffer of its own, copies what arrived into a buffer of that
// size and frees the first unwiped: the tool's answer (a secret's hex) would be left in freed
// memory. So the pipe is read into one buffer on an ArrayBuffer of its own, each read copied into
// a buffer of the same kind for the receiver, and the read buffer wiped; both are wiped copies.
// This uses the stream's user-buffer reads (net.Socket's `onread`), set on the socket that
// child_process made; where this Node lacks them, the stream is read as usual.
const READ_BUFFER_BYTES = 65_536;

function readIntoOwnBuffer(socket, onChunk) {
  const symbols = new Map(Object.getOwnPropertySymbols(socket).map((s) => [s.description, s]));
  const [kBuffer, kBufferCb] = [symbols.get("kBuffer"), symbols.get("kBufferCb")];
  if (kBuffer === undefined || kBufferCb === undefined || socket[kBuffer] !== null ||
      typeof socket._handle?.useUserBuffer !== "function") {
    socket.on("data", onChunk);
    return;
  }
  const buffer = secretBuffer(READ_BUFFER_BYTES);
  socket[kBuffer] = buffer;
  socket[kBufferCb] = (nread) => {
    const chunk = secretBuffer(nread);
    copyBytes(buffer, chunk, 0, 0, nread);
    buffer.fill(0, 0, nread);
    onChunk(chunk);
  };
  socket._handle.useUserBuffer(buffer);
  socket.once("close", () => buffer.fill(0));
}

module.exports = { startTool, EXIT_GRACE_MS, MAX_STDERR_BYTES };
