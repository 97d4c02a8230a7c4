// What the Node client's check of a pinned executable costs: the check alone (one read and one
// SHA-256 of the file), and a one-shot call and a session's start (with its first call), each
// with and without a digest, against the same build. Run by bench.sh:
//
//   node bench/client_check.mjs RUNS EXE... -- NAME TOOL [LAUNCHER...] [-- NAME TOOL ...]
//
// The EXEs are timed for the check alone (the release's executables); each NAME TOOL pair for the
// calls, TOOL run through LAUNCHER (wine) when given. Prints Markdown tables of medians.
import { createHash, randomBytes } from "node:crypto";
import { readFileSync, statSync } from "node:fs";
import { createClient } from "../clients/node/index.js";
import { checkExecutable } from "../clients/node/integrity.cjs";

const [runsArgument, ...rest] = process.argv.slice(2);
const runs = Number(runsArgument);
const groups = [];
for (const word of rest) {
  if (word === "--") groups.push([]);
  else if (groups.length === 0) groups.push([word]);
  else groups.at(-1).push(word);
}
const [executables, ...builds] = groups;

const digestOf = (file) => createHash("sha256").update(readFileSync(file)).digest("hex");
const median = (values) => {
  const sorted = [...values].sort((a, b) => a - b);
  const middle = sorted.length >> 1;
  return sorted.length % 2 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
};
const ms = (value) => value.toFixed(2);

// Milliseconds of each run of `step`, the two variants interleaved so that the machine's other
// load falls on both alike.
async function timePair(withCheck, without) {
  const times = [[], []];
  for (let run = 0; run < runs; run++) {
    for (const [index, step] of [[0, withCheck], [1, without]]) {
      const start = performance.now();
      await step();
      times[index].push(performance.now() - start);
    }
  }
  return times.map(median);
}

console.log("The check alone, median of %d runs:\n", runs * 10);
console.log("| Executable | Size (KiB) | Read and SHA-256 (ms) |");
console.log("|---|---:|---:|");
for (const file of executables) {
  const digest = digestOf(file);
  const times = [];
  for (let run = 0; run < runs * 10; run++) {
    const start = performance.now();
    checkExecutable("bench", file, digest);
    times.push(performance.now() - start);
  }
  console.log("| %s | %d | %s |", file, Math.round(statSync(file).size / 1024), ms(median(times)));
}

console.log("\nCalls through the client with and without the check, median of %d runs:\n", runs);
console.log("| Build | One-shot protect (ms) | with the check (ms) | Session start and one protect " +
  "(ms) | with the check (ms) |");
console.log("|---|---:|---:|---:|---:|");
const secret = randomBytes(32);
for (const [name, tool, ...launcher] of builds) {
  const checked = createClient(tool, { launcher, sha256: digestOf(tool) });
  const unchecked = createClient(tool, { launcher });
  await checked.protect(secret); // a first start warms the caches (and Wine's server)
  const [callChecked, call] = await timePair(() => checked.protect(secret),
    () => unchecked.protect(secret));
  const sessionStart = (client) => async () => {
    const session = client.session();
    await session.protect(secret);
    await session.close();
  };
  const [sessionChecked, session] = await timePair(sessionStart(checked),
    sessionStart(unchecked));
  console.log("| %s | %s | %s | %s | %s |", name, ms(call), ms(callChecked), ms(session),
    ms(sessionChecked));
}
