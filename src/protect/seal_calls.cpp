#include "protect/seal_calls.h"

namespace {
const BYTE entropy_bytes[] = {'V', 'e', 'l', 'k', 'o', 'r', 'D', 'e', 's', 'k', '.', 'v',
                              'a', 'u', 'l', 't', 'k', 'e', 'y', 's', '.', 'v', '2'};
}  // namespace

// The platform takes the entropy through a non-const pointer but only reads it.
const DATA_BLOB seal_entropy = {sizeof entropy_bytes, const_cast<BYTE *>(entropy_bytes)};
const WCHAR seal_description[] = PLATFORM_WIDE("Velkor wallet");

bool call_platform(SealMode mode, DATA_BLOB *input, DATA_BLOB *output) {
  DATA_BLOB entropy = seal_entropy;
  *output = DATA_BLOB{0, nullptr};
  const BOOL done = mode == SealMode::seal
                        ? CryptProtectData(input, seal_description, &entropy, nullptr, nullptr,
                                           CRYPTPROTECT_UI_FORBIDDEN, output)
                        : CryptUnprotectData(input, nullptr, &entropy, nullptr, nullptr,
                                             CRYPTPROTECT_UI_FORBIDDEN, output);
  return done != 0;
}
