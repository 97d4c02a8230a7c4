// The per-user key of the POSIX stand-in, kept in the user's profile as DPAPI keeps its own:
// $XDG_DATA_HOME/velkor-dpapi/master.key, or ~/.local/share/velkor-dpapi/master.key.
#pragma once

#include <cstddef>

#include "platform/dpapi.h"

constexpr std::size_t kMasterKeyBytes = 32;

// Reads the key into `key`. With `create`, a missing key is made first: 32 random bytes,
// written in full to a temporary file and then linked into place, so concurrent first runs
// agree on one key and an existing key is never replaced. Returns 0, or the error code to report:
// NTE_BAD_KEY_STATE (no key, and not creating), ERROR_ACCESS_DENIED (the key or its folder is
// unsafe or unusable: wrong owner, group or other access, wrong size), ERROR_PATH_NOT_FOUND (no
// profile folder). On failure `key` holds nothing.
DWORD load_master_key(bool create, unsigned char (&key)[kMasterKeyBytes]);
