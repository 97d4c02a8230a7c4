#include "protect/selftest.h"

#include <cstdio>
#include <cstring>

#include "common/exit_status.h"
#include "common/stream_io.h"
#include "common/stream_text.h"
#include "protect/seal_calls.h"

namespace {
// The zero byte belongs to the payload: it is sealed and compared.
const BYTE selftest_payload[22] = "velkor-dpapi-selftest";
}  // namespace

int run_selftest() {
  DATA_BLOB input = {sizeof selftest_payload, const_cast<BYTE *>(selftest_payload)};
  DATA_BLOB sealed;
  if (!call_platform(SealMode::seal, &input, &sealed)) {
    std::fprintf(stderr, "protect failed %lu\n", static_cast<unsigned long>(GetLastError()));
    return EXIT_SEAL_FAILED;
  }

  DATA_BLOB opened;
  if (!call_platform(SealMode::unseal, &sealed, &opened)) {
    const DWORD error = GetLastError();
    LocalFree(sealed.pbData);
    std::fprintf(stderr, "unprotect failed %lu\n", static_cast<unsigned long>(error));
    return EXIT_SEAL_FAILED;
  }

  const bool match = opened.cbData == sizeof selftest_payload &&
                     std::memcmp(opened.pbData, selftest_payload, sizeof selftest_payload) == 0;
  LocalFree(sealed.pbData);
  LocalFree(opened.pbData);

  const bool written =
      match ? write_text_fully(stdout, "ok\n") : write_text_fully(stdout, "mismatch\n");
  if (!written) {
    put_text(stderr, "write failed\n");
    return EXIT_WRITE_FAILED;
  }
  return match ? EXIT_OK : EXIT_SEAL_FAILED;
}
