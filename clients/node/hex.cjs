"use strict";

// Secret bytes and their hex. Every buffer made here sits on an ArrayBuffer of its own, outside
// V8's heap: a small Buffer.alloc lives inside the heap, where the garbage collector may copy it
// and a write to a pipe moves it out, so a wipe would clear only the latest copy. Here no one moves
// the bytes, and wipe() clears the only copy.

/** A zeroed buffer of `length` bytes on an ArrayBuffer of its own. */
function secretBuffer(length) {
  return Buffer.from(new ArrayBuffer(length));
}

function wipe(bytes) {
  bytes?.fill(0);
}

/**
 * Copies source[sourceStart, sourceEnd) into target from targetStart, as far as target holds, and
 * returns the number of bytes copied; forwards, so target may be source with targetStart at most
 * sourceStart. Byte by byte, as Buffer's copy was seen to leave 16 of the bytes it copied on the
 * stack, where no wipe reaches them.
 */
function copyBytes(source, target, targetStart = 0, sourceStart = 0, sourceEnd = source.length) {
  const count = Math.max(0, Math.min(sourceEnd - sourceStart, target.length - targetStart));
  for (let i = 0; i < count; i++) target[targetStart + i] = source[sourceStart + i];
  return count;
}

const HEX_DIGITS = Buffer.from("0123456789abcdef", "latin1");

/** prefix, the lower-case hex of bytes, then suffix (both ASCII), in one secret buffer. */
function encodeHex(bytes, prefix = "", suffix = "") {
  const out = secretBuffer(prefix.length + 2 * bytes.length + suffix.length);
  out.write(prefix, 0, "latin1");
  let at = prefix.length;
  for (let i = 0; i < bytes.length; i++) {
    out[at++] = HEX_DIGITS[bytes[i] >> 4];
    out[at++] = HEX_DIGITS[bytes[i] & 15];
  }
  out.write(suffix, at, "latin1");
  return out;
}

/**
 * The bytes of the lower-case hex digit pairs in line[start, end) in a new secret buffer, or null
 * (nothing left behind) when there is anything else there.
 */
function decodeHex(line, start = 0, end = line.length) {
  if ((end - start) % 2 !== 0) return null;
  const bytes = secretBuffer((end - start) / 2);
  for (let i = start; i < end; i += 2) {
    const high = digitValue(line[i]);
    const low = digitValue(line[i + 1]);
    if (high < 0 || low < 0) {
      bytes.fill(0);
      return null;
    }
    bytes[(i - start) / 2] = (high << 4) | low;
  }
  return bytes;
}

function digitValue(code) {
  if (code >= 0x30 && code <= 0x39) return code - 0x30;
  if (code >= 0x61 && code <= 0x66) return code - 0x61 + 10;
  return -1;
}

/** Where the line's text ends: before its "\n" or "\r\n"; -1 when it does not end in "\n". */
function lineContentEnd(line) {
  let end = line.length - 1;
  if (end < 0 || line[end] !== 0x0a) return -1;
  if (end > 0 && line[end - 1] === 0x0d) end -= 1;
  return end;
}

module.exports = { secretBuffer, wipe, copyBytes, encodeHex, decodeHex, lineContentEnd };
