// What is left of secrets in this process's memory (read from /proc/self/mem), found piece by
// piece: a released block loses its first bytes to the allocator's free-list links (16 bytes in
// glibc, 32 in its large bins), so a whole needle would miss what the rest of it keeps.
//
// Each needle is looked for as every window of it, wherever it lies. Both windows carry 64 random
// bits (8 bytes of a secret, or 16 digits of its hex). A scan of the memory test compares at most
// 347 windows (under 2**9) with each byte of the process's memory (some 200 MiB, under 2**28): the
// odds that anything matches by chance are below 2**-27 a scan, 2**-22 over the test's 23 scans.
import { closeSync, openSync, readFileSync, readSync } from "node:fs";

export const HEX_WINDOW = 16;
export const BYTES_WINDOW = 8;

const CHUNK_BYTES = 1 << 20;
const SLOT_BITS = 20;

// A slot in the filter for the number that four bytes make.
const slot = (word) => Math.imul(word, 0x9e3779b1) >>> (32 - SLOT_BITS);

/**
 * Where each of `needles` ({ bytes, window }, its bytes held masked: each XORed with `mask`, so
 * that the needle itself is never what is found) lies in part in this process's readable memory:
 * for each, a list of { address, start, end, mapping } in the order of address, each a longest
 * run of the needle's bytes [start, end), at least `window` bytes (8 or more) long, found at that
 * address, in the mapping of that name ("[heap]", "[stack]", a file's path or "anonymous").
 */
export function findPieces(needles, mask) {
  if (needles.length === 0) return [];
  // Memory is read four bytes at a time, as one number, at each address that is a multiple of
  // four: a window of eight bytes or more, wherever it starts, holds one such number whole, at
  // one of its first four offsets. So every four bytes of each needle are indexed, masked: a
  // filter of their slots, then a map from the number to where it stands in the needle.
  const maskWord = Math.imul(mask, 0x01010101);
  const filter = new Uint8Array(1 << SLOT_BITS);
  const words = new Map();
  needles.forEach(({ bytes, window }, n) => {
    if (window < 8) throw new RangeError("a window of 8 bytes or more");
    for (let offset = 0; offset + 4 <= bytes.length; offset++) {
      const word = bytes.readInt32LE(offset);
      filter[slot(word)] = 1;
      if (!words.has(word)) words.set(word, []);
      words.get(word).push([n, offset]);
    }
  });
  const runs = needles.map(() => new Map()); // where the needle's first byte would be -> runs
  // Chunks overlap by more than the longest needle, so that a run that starts in one lies in it
  // whole.
  const overlap = 8 + 4 * Math.ceil(Math.max(...needles.map(({ bytes }) => bytes.length)) / 4);
  const chunk = Buffer.from(new ArrayBuffer(CHUNK_BYTES + overlap));
  const numbers = new Int32Array(chunk.buffer);
  const mem = openSync("/proc/self/mem", "r");
  try {
    for (const line of readFileSync("/proc/self/maps", "latin1").split("\n")) {
      const fields = line.split(/\s+/);
      if (fields.length < 5 || !fields[1].startsWith("r")) continue;
      if (["[vvar]", "[vsyscall]", "[vvar_vclock]"].includes(fields[5])) continue;
      const mapping = fields[5] || "anonymous";
      const [start, end] = fields[0].split("-").map((x) => parseInt(x, 16));
      for (let at = start; at < end; at += CHUNK_BYTES) {
        let length;
        try {
          length = readSync(mem, chunk, 0, Math.min(CHUNK_BYTES + overlap, end - at), at);
        } catch {
          break;
        }
        for (let w = 0; w < length >> 2; w++) {
          const word = numbers[w] ^ maskWord;
          if (filter[slot(word)] === 0) continue;
          for (const [n, offset] of words.get(word) ?? []) {
            const { bytes, window } = needles[n];
            for (let ahead = 0; ahead < 4; ahead++) {
              const from = offset - ahead;
              if (from < 0 || from + window > bytes.length) continue;
              addRun(runs[n], chunk, length, at, 4 * w - ahead, needles[n], from, mask, mapping);
            }
          }
        }
        // What was read may hold a secret unmasked: wiped before the next read.
        chunk.fill(0);
      }
    }
  } finally {
    closeSync(mem);
  }
  return runs.map((found) => [...found].flatMap(([placed, known]) =>
    known.map(([start, end, mapping]) => ({ address: placed + start, start, end, mapping })))
    .sort((a, b) => a.address - b.address));
}

// The window of the needle from `offset`, if it lies at chunk[p], stretched both ways for as long
// as the bytes agree (chunk[base + i] holds the needle's byte i), unless a run has it already. A
// run cut short by the end of a chunk is joined to the whole one that the next chunk finds.
function addRun(runs, chunk, length, at, p, { bytes, window }, offset, mask, mapping) {
  if (p < 0 || p + window > length) return;
  for (let k = 0; k < window; k++) {
    if ((chunk[p + k] ^ mask) !== bytes[offset + k]) return;
  }
  const placed = at + p - offset;
  const known = runs.get(placed) ?? [];
  if (known.some(([start, end]) => start <= offset && offset < end)) return;
  const base = p - offset;
  let start = offset;
  let end = offset + window;
  while (start > 0 && base + start > 0 && (chunk[base + start - 1] ^ mask) === bytes[start - 1]) {
    start -= 1;
  }
  while (end < bytes.length && base + end < length && (chunk[base + end] ^ mask) === bytes[end]) {
    end += 1;
  }
  const apart = known.filter(([s, e]) => e < start || s > end);
  for (const [s, e] of known) {
    if (!(e < start || s > end)) [start, end] = [Math.min(start, s), Math.max(end, e)];
  }
  runs.set(placed, [...apart, [start, end, mapping]]);
}
