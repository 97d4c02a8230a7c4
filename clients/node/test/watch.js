// What the client tests watch of the client itself, shared by the test files: the Buffers it
// makes, and what it leaves keeping this process running.
import { setImmediate as nextTurn } from "node:timers/promises";
import { fileURLToPath } from "node:url";

const clientFolder = fileURLToPath(new URL("..", import.meta.url));
const isClientFrame = (frame) =>
  frame.includes(clientFolder) && !frame.includes(`${clientFolder}test`);

const { alloc: realAlloc } = Buffer;
export const isZero = (bytes) => bytes.equals(realAlloc(bytes.length));

// Every Buffer that the client itself makes during the test (the nearest caller outside Node's
// own modules is one of its modules). Buffer.from of a string is left out: the client makes
// strings only of fixed words and of standard error, never of data.
// Those it allocates itself of 1 to 64 bytes (Buffer.alloc and its kind, called by the client, not
// by Node inside Buffer.concat) are listed in made.onHeap: V8 keeps such a buffer inside its heap,
// where it may be moved and a wipe clears only the last copy. Its calls of Buffer's copy and of a
// typed array's set are listed in made.copiedByNode: their native code leaves some of the bytes
// it copied on the stack, so the client copies bytes itself.
export function watchAllocations(t) {
  const made = new Set();
  made.onHeap = [];
  made.copiedByNode = [];
  const typedArray = Object.getPrototypeOf(Uint8Array.prototype);
  for (const [target, name] of [[Buffer.prototype, "copy"], [typedArray, "set"]]) {
    const real = target[name];
    t.mock.method(target, name, function watched(...args) {
      const trace = {};
      Error.captureStackTrace(trace, watched);
      const caller = trace.stack.split("\n").slice(1)
        .find((frame) => !/\(node:|at node:/.test(frame));
      if (caller !== undefined && isClientFrame(caller)) made.copiedByNode.push(name);
      return real.apply(this, args);
    });
  }
  for (const name of ["alloc", "allocUnsafe", "allocUnsafeSlow", "concat", "from"]) {
    const real = Buffer[name];
    t.mock.method(Buffer, name, function watched(...args) {
      const bytes = real.apply(this, args);
      if (name === "from" && typeof args[0] === "string") return bytes;
      const trace = {};
      Error.captureStackTrace(trace, watched);
      const frames = trace.stack.split("\n").slice(1);
      const caller = frames.find((frame) => !/\(node:|at node:/.test(frame));
      if (caller !== undefined && isClientFrame(caller)) {
        made.add(bytes);
        const direct = frames.slice(0, frames.indexOf(caller))
          .every((frame) => frame.includes("test_runner/mock"));
        if (name.startsWith("alloc") && direct && bytes.length > 0 && bytes.length <= 64) {
          made.onHeap.push(`Buffer.${name}(${bytes.length})`);
        }
      }
      return bytes;
    });
  }
  return made;
}

// The kinds of resource that keep this process running, in order, after the event loop has
// turned a few times: timers, immediates and handles (a child, a pipe). Requests are left out:
// the writes of this test's own report come and go with its reader's pace.
export async function activeResources() {
  for (let i = 0; i < 3; i++) await nextTurn();
  return process.getActiveResourcesInfo().filter((kind) => !/Req$|WriteWrap$/.test(kind)).sort();
}
