#include "protect/session_command.h"

#include <cstdio>

#include "common/exit_status.h"
#include "common/stream_io.h"
#include "common/stream_text.h"
#include "hex/line_input.h"
#include "hex/stream_bytes.h"
#include "protect/seal_command.h"

namespace {

enum class Verb { protect, unprotect, unknown };

// The first word of a request, and what ended it: a space, a carriage return, a line feed,
// kEndOfInput or kReadFailed.
struct VerbRead {
  Verb verb;
  int end;
  bool any_byte;  // false: the input ended (or failed) before a line began
};

// Matches the verb as its bytes come, storing none: a caller that left the verb out would have
// put the secret's hex there.
VerbRead read_verb(LineInput &in) {
  static const char protect[] = "protect";
  static const char unprotect[] = "unprotect";
  bool may_be_protect = true;
  bool may_be_unprotect = true;
  std::size_t length = 0;
  for (;;) {
    const int c = in.get();
    if (c < 0 || c == ' ' || c == '\r' || c == '\n') {
      Verb verb = Verb::unknown;
      if (may_be_protect && length == sizeof protect - 1) verb = Verb::protect;
      if (may_be_unprotect && length == sizeof unprotect - 1) verb = Verb::unprotect;
      return {verb, c, length > 0 || c >= 0};
    }
    may_be_protect = may_be_protect && length < sizeof protect - 1 && c == protect[length];
    may_be_unprotect = may_be_unprotect && length < sizeof unprotect - 1 && c == unprotect[length];
    if (length < sizeof unprotect) ++length;
  }
}

template <std::size_t N>
WriteResult answer_text(const char (&text)[N]) {
  return write_all(stdout, text, N - 1);
}

// Decodes, seals or opens, and answers one request whose text has been read up to `end`. The
// text is wiped here, and a block that grew past its first size is given back, so that between
// requests the session holds no more than it does before its first.
WriteResult answer_request(SealMode mode, SecretBuffer &text, TextEnd end,
                           const TextLimits &limits) {
  SecretBuffer decoded;
  const bool read_whole = end == TextEnd::line_end || end == TextEnd::input_end;
  const bool decoded_ok = read_whole && decode_hex_text(text, decoded);
  if (text.capacity > limits.initial_capacity) {
    text.release();
  } else {
    text.clear();
  }
  if (!decoded_ok) return answer_text("error 3 bad input\n");

  const SealOutcome outcome = seal_to_line(mode, decoded, "ok ");
  if (outcome.sealed) return outcome.written;
  char message[kSealFailureBytes];
  seal_failure_message(message, mode, outcome.error);
  char line[kSealFailureBytes + 16];
  const int length = std::snprintf(line, sizeof line, "error 4 %s\n", message);
  return write_all(stdout, line, static_cast<std::size_t>(length));
}

// Where the line of a request was taken up to, after its text was read up to `end`.
int line_taken_to(TextEnd end) {
  switch (end) {
    case TextEnd::line_end:
      return '\n';
    case TextEnd::input_end:
      return kEndOfInput;
    case TextEnd::read_failed:
      return kReadFailed;
    case TextEnd::too_long:
      break;
  }
  return 0;  // within the line: the rest is still to be dropped
}

int input_failed() {
  put_text(stderr, "bad input\n");
  return EXIT_BAD_INPUT;
}

}  // namespace

int run_session(const TextLimits &limits) {
  LineInput input;
  if (!input.start(stdin)) return input_failed();
  SecretBuffer text;  // one block for the text of every request, kept between them
  for (;;) {
    const VerbRead verb = read_verb(input);
    if (!verb.any_byte) return verb.end == kReadFailed ? input_failed() : EXIT_OK;

    int taken_to = verb.end;  // a line feed, the end of input or a read error; else within it
    WriteResult written;
    if (taken_to == kReadFailed) {
      written = answer_text("error 3 bad input\n");
    } else if (verb.verb == Verb::unknown) {
      written = answer_text("error 2 unknown command\n");
    } else {
      TextEnd end = TextEnd::line_end;
      if (taken_to == kEndOfInput) end = TextEnd::input_end;
      if (taken_to == ' ' || taken_to == '\r') end = read_hex_line(input, text, limits);
      taken_to = line_taken_to(end);
      written = answer_request(verb.verb == Verb::protect ? SealMode::seal : SealMode::unseal, text,
                               end, limits);
    }

    if (written == WriteResult::failed) {
      put_text(stderr, "write failed\n");
      return EXIT_WRITE_FAILED;
    }
    // Nobody reads the answers any more: no further secret is opened for nobody.
    if (written == WriteResult::reader_gone) return EXIT_OK;
    // An over-long line has had its answer at once; the rest of it is dropped unstored.
    if (taken_to >= 0 && taken_to != '\n') taken_to = input.skip_line();
    input.wipe_taken();
    if (taken_to == kReadFailed) return input_failed();
    if (taken_to == kEndOfInput) return EXIT_OK;
  }
}
