#pragma once

// The selftest command: seals and opens a fixed payload in memory and prints "ok" or "mismatch".
// Reads nothing. Returns EXIT_OK, EXIT_SEAL_FAILED or EXIT_WRITE_FAILED.
int run_selftest();
