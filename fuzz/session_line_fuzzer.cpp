// Feeds arbitrary bytes to a session as its standard input, over the fake platform, and checks
// that every request line gets exactly one answer, in order: the one a small model of the
// requests spells for it. The text limit is scaled down so that short inputs reach it, and inputs
// may run past the session's input block. Every block must come back wiped, and none may be
// larger than the input block, whatever the input.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fake_alloc.h"
#include "fake_platform.h"
#include "hex/hex_io.h"
#include "hex/line_input.h"
#include "protect/session_command.h"
#include "reading_model.h"
#include "std_streams.h"

namespace {

std::string model_hex(const std::string &bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (const char byte : bytes) {
    text += digits[static_cast<unsigned char>(byte) >> 4];
    text += digits[static_cast<unsigned char>(byte) & 15];
  }
  return text;
}

// The model: the verb up to the first space or carriage return, whole; then the hex with spaces
// and carriage returns dropped, within the limit, an even count of digits only. The fake seals
// by putting "wrap:" before the secret, and opens only what starts with it.
std::string model_answer(const std::string &line) {
  const std::size_t verb_end = line.find_first_of(" \r");
  const std::string verb = line.substr(0, verb_end);
  if (verb != "protect" && verb != "unprotect") return "error 2 unknown command\n";
  std::string significant;
  if (verb_end != std::string::npos) {
    for (std::size_t i = verb_end + 1; i < line.size(); ++i) {
      if (line[i] != ' ' && line[i] != '\r') significant += line[i];
    }
  }
  if (significant.size() >= 2 * kSmallLimits.last_doublable_capacity) return "error 3 bad input\n";
  if (significant.size() % 2 != 0) return "error 3 bad input\n";
  std::string bytes;
  for (std::size_t i = 0; i < significant.size(); i += 2) {
    const int high = model_digit(static_cast<unsigned char>(significant[i]));
    const int low = model_digit(static_cast<unsigned char>(significant[i + 1]));
    if (high < 0 || low < 0) return "error 3 bad input\n";
    bytes += static_cast<char>(high * 16 + low);
  }
  if (verb == "protect") return "ok " + model_hex("wrap:" + bytes) + "\n";
  if (bytes.compare(0, 5, "wrap:") == 0) return "ok " + model_hex(bytes.substr(5)) + "\n";
  return "error 4 DPAPI unprotect failed (error 13)\n";
}

// One answer per line; the last line, without its line feed, only if it holds a byte.
std::string model_answers(const std::string &input) {
  std::string answers;
  std::size_t start = 0;
  for (std::size_t end; (end = input.find('\n', start)) != std::string::npos; start = end + 1) {
    answers += model_answer(input.substr(start, end - start));
  }
  if (start < input.size()) answers += model_answer(input.substr(start));
  return answers;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string input(reinterpret_cast<const char *>(data), size);
  const std::string expected = model_answers(input);

  fake_platform::reset();
  fake_alloc::reset();
  const StreamsRun run = run_with_streams(input, [] { return run_session(kSmallLimits); });
  if (run.status != 0 || !run.err.empty() || run.out != expected) std::abort();
  if (run.input_consumed != static_cast<long>(size)) std::abort();
  if (fake_alloc::live_blocks() != 0 || fake_alloc::unwiped_releases() != 0) std::abort();
  if (fake_platform::live_outputs() != 0) std::abort();
  if (fake_platform::wiped_releases() != fake_platform::releases()) std::abort();
  for (const std::size_t block : fake_alloc::sizes()) {
    if (block > LineInput::kBlockBytes) std::abort();
  }
  return 0;
}
