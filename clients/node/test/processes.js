// What the tests ask of processes, shared by the test files.
import { readFileSync } from "node:fs";

// Running, and not a zombie waiting for a parent that never reaps it (a container's first
// process may not).
export function isRunning(pid) {
  try {
    process.kill(pid, 0);
  } catch {
    return false;
  }
  try {
    return !/^\d+ \(.*\) Z/s.test(readFileSync(`/proc/${pid}/stat`, "latin1"));
  } catch {
    return true;
  }
}
