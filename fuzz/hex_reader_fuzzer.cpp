// Feeds arbitrary bytes to the hex reader through a stdio stream, as standard input would, and
// checks each verdict against a small model of the reading rules. The text limit is scaled down
// so that short inputs reach it. The allocator fake checks every block comes back wiped.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fake_alloc.h"
#include "hex/hex_io.h"
#include "reading_model.h"

namespace {

// The model: whitespace dropped, then the limit, an even count and digits only.
bool model_decode(const std::uint8_t *data, std::size_t size, std::vector<unsigned char> &bytes) {
  std::vector<unsigned char> significant;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] != '\n' && data[i] != '\r' && data[i] != ' ') significant.push_back(data[i]);
  }
  if (significant.size() >= 2 * kSmallLimits.last_doublable_capacity) return false;
  if (significant.size() % 2 != 0) return false;
  for (std::size_t i = 0; i < significant.size(); i += 2) {
    const int high = model_digit(significant[i]);
    const int low = model_digit(significant[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes.push_back(static_cast<unsigned char>(high * 16 + low));
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::vector<unsigned char> expected;
  const bool expected_ok = model_decode(data, size, expected);

  std::vector<unsigned char> copy(data, data + size);
  std::FILE *in = size != 0 ? fmemopen(copy.data(), size, "rb") : std::fopen("/dev/null", "rb");
  if (in == nullptr) std::abort();
  fake_alloc::reset();
  {
    const HexInput input = read_hex_stream(in, kSmallLimits);
    if (input.ok != expected_ok) std::abort();
    if (input.ok && (input.bytes.length != expected.size() ||
                     (!expected.empty() &&
                      std::memcmp(input.bytes.bytes, expected.data(), expected.size()) != 0))) {
      std::abort();
    }
  }
  std::fclose(in);
  if (fake_alloc::live_blocks() != 0 || fake_alloc::unwiped_releases() != 0) std::abort();
  return 0;
}
