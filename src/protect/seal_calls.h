// The tool's two data-protection calls, always with its own entropy, description and flags.
#pragma once

#include "platform/dpapi.h"

enum class SealMode { seal, unseal };

// Passed as the optional entropy of every call: the 23 bytes "VelkorDesk.vaultkeys.v2".
extern const DATA_BLOB seal_entropy;
// Passed as the description of every seal call.
extern const WCHAR seal_description[];

// Seals or opens `input` into `output` (set empty first). False when the platform refused; its
// code is then in GetLastError(). On success `output` must go back through LocalFree.
bool call_platform(SealMode mode, DATA_BLOB *input, DATA_BLOB *output);
