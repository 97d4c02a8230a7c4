#include "hex/line_input.h"

#include "common/secure_wipe.h"
#include "common/stream_io.h"
#include "hex/stream_bytes.h"

bool LineInput::start(std::FILE *in) {
  in_ = in;
  if (!block_.allocate(kBlockBytes)) return false;
  block_.lock_through(kBlockBytes);
  block_.length = kBlockBytes;  // its release wipes it whole, the bytes never taken included
  return true;
}

int LineInput::skip_line() {
  for (;;) {
    const int c = get();
    if (c == '\n' || c < 0) return c;
  }
}

void LineInput::wipe_taken() {
  secure_wipe(block_.bytes + unwiped_, next_ - unwiped_);
  unwiped_ = next_;
}

int LineInput::refill() {
  if (end_ != 0) return end_;
  wipe_taken();  // every byte of the block has been taken: it is all wiped now
  next_ = filled_ = unwiped_ = 0;
  const long got = read_available(in_, block_.bytes, block_.capacity);
  if (got <= 0) {
    end_ = got == 0 ? kEndOfInput : kReadFailed;
    return end_;
  }
  filled_ = static_cast<std::size_t>(got);
  return block_.bytes[next_++];
}
