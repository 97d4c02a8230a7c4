// Hands arbitrary bytes, as hex on standard input, to the unprotect command over the POSIX
// stand-in. Whatever the bytes, the command either opens them (status 0, one hex line) or fails
// cleanly with invalid data (status 4 and its one message), and wipes and releases everything.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "fake_alloc.h"
#include "platform/dpapi.h"
#include "protect/seal_command.h"
#include "std_streams.h"

namespace {
char home[] = "/tmp/velkor-fuzz-home-XXXXXX";
void remove_home() { std::filesystem::remove_all(home); }
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // A profile of its own, with a key already made, as after the wallet's first seal.
  if (mkdtemp(home) == nullptr) std::abort();
  std::atexit(remove_home);
  setenv("HOME", home, 1);
  unsetenv("XDG_DATA_HOME");
  BYTE one = 1;
  DATA_BLOB in = {1, &one};
  DATA_BLOB out = {0, nullptr};
  if (!CryptProtectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out)) {
    std::abort();
  }
  LocalFree(out.pbData);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < size; ++i) {
    text += digits[data[i] >> 4];
    text += digits[data[i] & 15];
  }
  text += '\n';

  fake_alloc::reset();
  const StreamsRun run = run_with_streams(text, [] { return run_seal_command(SealMode::unseal); });
  const bool opened =
      run.status == 0 && run.err.empty() && !run.out.empty() && run.out.back() == '\n';
  const bool refused =
      run.status == 4 && run.out.empty() && run.err == "DPAPI unprotect failed (error 13)\n";
  if (!opened && !refused) std::abort();
  if (fake_alloc::live_blocks() != 0 || fake_alloc::unwiped_releases() != 0) std::abort();
  return 0;
}
