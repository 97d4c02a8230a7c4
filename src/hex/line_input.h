// Standard input for a session, taken a line at a time through a block of the tool's own.
//
// Not through the stream's buffer: when a request ends, that buffer may already hold the next
// one, and nothing portable tells which of its bytes were taken, so it could not be wiped. This
// block can: every byte taken is wiped when its request ends (wipe_taken) or before the block is
// filled again, whichever comes first, and what it still holds is wiped when the session ends.
#pragma once

#include <cstddef>
#include <cstdio>

#include "common/secret_buffer.h"

class LineInput {
 public:
  // Of the runtime's own buffer size for a pipe.
  static constexpr std::size_t kBlockBytes = 4096;

  // Takes, locks and guards the block for reading `in`, from which nothing may have been read
  // through its stream; false when memory runs out.
  bool start(std::FILE *in);

  // The next byte; kEndOfInput or kReadFailed (stream_bytes.h) from then on.
  int get() { return next_ < filled_ ? block_.bytes[next_++] : refill(); }

  // Takes the rest of the line, dropping it: returns '\n', kEndOfInput or kReadFailed.
  int skip_line();

  // Wipes every byte taken so far; those not yet taken stay for the next request.
  void wipe_taken();

 private:
  int refill();

  std::FILE *in_ = nullptr;
  SecretBuffer block_;
  std::size_t next_ = 0;     // the next byte to take
  std::size_t filled_ = 0;   // bytes the last read put in the block
  std::size_t unwiped_ = 0;  // the first byte taken and not yet wiped
  int end_ = 0;              // once the input ended or failed: what every later get() returns
};
