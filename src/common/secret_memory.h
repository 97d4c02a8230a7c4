// Keeping secret bytes out of the places that outlive the process: swap or the page file, core
// files and crash reports. Best effort throughout: a measure the system refuses (a lock over the
// limit, a call an older Windows lacks) is skipped and never fails a run.
#pragma once

#include <cstddef>

// Leaves `size` bytes at `block` out of crash reports and core dumps while it holds secrets:
// MADV_DONTDUMP on Linux; on Windows, where the system offers them, Windows Error Reporting's
// excluded blocks, which take at most the first 64 KiB of a block.
void guard_secret(void *block, std::size_t size);

// Locks `length` bytes from `bytes` in memory, out of swap and the page file: mlock, or
// VirtualLock with the working set raised as far as the system allows.
void lock_secret(void *bytes, std::size_t length);

// Once the block is wiped: unlocks its first `locked` bytes and undoes guard_secret.
void unguard_secret(void *block, std::size_t size, std::size_t locked);
