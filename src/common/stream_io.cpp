#include "common/stream_io.h"

#include <cerrno>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>

#include <climits>
#include <cstdlib>
#else
#include <poll.h>
#include <unistd.h>
#endif

namespace {

void forget_errors() {
  errno = 0;
#ifdef _WIN32
  _doserrno = 0;
#endif
}

// Whether the failed write found the pipe's reading end closed.
bool reader_gone() {
#ifdef _WIN32
  // The runtime maps a broken pipe to EPIPE, but a pipe being closed, or with no process on its
  // other end, to no errno of its own.
  return errno == EPIPE || _doserrno == ERROR_BROKEN_PIPE || _doserrno == ERROR_NO_DATA ||
         _doserrno == ERROR_PIPE_NOT_CONNECTED;
#else
  return errno == EPIPE;
#endif
}

// Whether the failed transfer on `stream` only would have blocked, or was interrupted, and may
// be tried again: then it has waited until the descriptor is ready. Windows' standard handles
// always block, so there a failure is final.
bool ready_after_wait(std::FILE *stream, bool for_writing) {
#ifdef _WIN32
  (void)stream;
  (void)for_writing;
  return false;
#else
  if (errno == EINTR) return true;
  if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
  struct pollfd ready = {fileno(stream), static_cast<short>(for_writing ? POLLOUT : POLLIN), 0};
  for (;;) {
    if (poll(&ready, 1, -1) >= 0) return true;  // ready, or hung up: the next try tells which
    if (errno != EINTR) return false;
  }
#endif
}

}  // namespace

WriteResult write_all(std::FILE *out, const void *bytes, std::size_t length) {
  const char *next = static_cast<const char *>(bytes);
  while (length > 0) {
    forget_errors();
    const std::size_t written = std::fwrite(next, 1, length, out);
    next += written;
    length -= written;
    if (length == 0) break;
    if (reader_gone()) return WriteResult::reader_gone;
    if (!ready_after_wait(out, true)) return WriteResult::failed;
    std::clearerr(out);
  }
  forget_errors();
  if (std::fflush(out) == 0 && !std::ferror(out)) return WriteResult::written;
  return reader_gone() ? WriteResult::reader_gone : WriteResult::failed;
}

bool input_may_follow(std::FILE *in) {
  if (!std::ferror(in) || !ready_after_wait(in, false)) return false;
  std::clearerr(in);
  return true;
}

long read_available(std::FILE *in, void *buffer, std::size_t size) {
  for (;;) {
    forget_errors();
#ifdef _WIN32
    const int got =
        _read(_fileno(in), buffer, size > INT_MAX ? INT_MAX : static_cast<unsigned>(size));
#else
    const ssize_t got = read(fileno(in), buffer, size);
#endif
    if (got >= 0) return static_cast<long>(got);
    if (!ready_after_wait(in, false)) return -1;
  }
}
