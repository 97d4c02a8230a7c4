"use strict";

// The check made before each start of a pinned executable: the file's SHA-256, read once, against
// the digest the client was given (the package's pin, or the caller's). A file that differs is
// never started. What it cannot cover: a file swapped between this read and the start.

const { crypto: { createHash }, fs } = require("#builtins");
const { integrityError, spawnError } = require("./errors.cjs");

const SHA256_HEX = /^[0-9a-f]{64}$/;
const READ_BYTES = 65_536;
// Far more than any release's executable (a few hundred KiB): a file past it is refused unread, so
// that no file put in its place holds this process for long.
const MAX_EXECUTABLE_BYTES = 64 << 20;

/**
 * Throws a VelkorDpapiError unless the file at `file` has the SHA-256 `expected` (lower-case
 * hex): INTEGRITY when it differs, is no regular file or is too large, SPAWN_FAILED when it cannot
 * be read.
 */
function checkExecutable(command, file, expected) {
  let fd;
  try {
    // Non-blocking, so that a FIFO put in the file's place cannot hold the open.
    fd = fs.openSync(file, fs.constants.O_RDONLY | (fs.constants.O_NONBLOCK ?? 0));
  } catch (cause) {
    throw spawnError(command, cause);
  }
  let why = null;
  try {
    why = differs(fd, expected);
  } catch (cause) {
    throw spawnError(command, cause);
  } finally {
    fs.closeSync(fd);
  }
  if (why !== null) throw integrityError(command, file, why);
}

// Why the open file is not the one with that digest, or null when it is.
function differs(fd, expected) {
  if (!fs.fstatSync(fd).isFile()) return "is not a regular file";
  const hash = createHash("sha256");
  const chunk = Buffer.alloc(READ_BYTES);
  let total = 0;
  for (let got; (got = fs.readSync(fd, chunk, 0, READ_BYTES, null)) > 0;) {
    total += got;
    if (total > MAX_EXECUTABLE_BYTES) {
      return `is not the executable this client may run (over ${MAX_EXECUTABLE_BYTES} bytes)`;
    }
    hash.update(chunk.subarray(0, got));
  }
  chunk.fill(0); // not secret, but every buffer the client makes ends wiped
  const actual = hash.digest("hex");
  if (actual === expected) return null;
  return "is not the executable this client may run (its SHA-256 begins " +
    `${actual.slice(0, 16)}, the pinned one ${expected.slice(0, 16)})`;
}

module.exports = { SHA256_HEX, checkExecutable };
