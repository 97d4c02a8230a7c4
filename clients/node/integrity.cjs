"use strict";

// The check made before each start of a pinned executable: the file's SHA-256, read once, against
// the digest the client was given (the package's pin, or the caller's). A file that differs is
// never started. What it cannot cover: a file swapped between this read and the start.

const { crypto: { createHash }, fs } = require("#builtins");
const { integrityError, spawnError } = require("./errors.cjs");

const SHA256_HEX = /^[0-9a-f]{64}$/;
const READ_BYTES = 65_536;

/**
 * Throws a VelkorDpapiError unless the file at `file` has the SHA-256 `expected` (lower-case
 * hex): INTEGRITY when it differs or is no regular file, SPAWN_FAILED when it cannot be read.
 */
function checkExecutable(command, file, expected) {
  let fd;
  try {
    // Non-blocking, so that a FIFO put in the file's place cannot hold the open.
    fd = fs.openSync(file, fs.constants.O_RDONLY | (fs.constants.O_NONBLOCK ?? 0));
  } catch (cause) {
    throw spawnError(command, cause);
  }
  let actual = null; // stays null for anything but a regular file
  try {
    if (fs.fstatSync(fd).isFile()) {
      const hash = createHash("sha256");
      const chunk = Buffer.alloc(READ_BYTES);
      for (let got; (got = fs.readSync(fd, chunk, 0, READ_BYTES, null)) > 0;) {
        hash.update(chunk.subarray(0, got));
      }
      chunk.fill(0); // not secret, but every buffer the client makes ends wiped
      actual = hash.digest("hex");
    }
  } catch (cause) {
    throw spawnError(command, cause);
  } finally {
    fs.closeSync(fd);
  }
  if (actual !== expected) throw integrityError(command, file, actual, expected);
}

module.exports = { SHA256_HEX, checkExecutable };
