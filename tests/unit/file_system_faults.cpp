// Without the fortified wrappers: they would stand in the way of defining open itself.
#undef _FORTIFY_SOURCE

#include "file_system_faults.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>

namespace file_system_faults {
bool kill_when_linking = false;
bool refuse_unnamed_files = false;
bool record_durability = false;
FileEvent events[kMaxEvents];
std::size_t event_count = 0;

namespace {
void record(char kind, const struct stat &info) {
  if (record_durability && event_count < kMaxEvents) {
    events[event_count++] = {kind, info.st_dev, info.st_ino};
  }
}
}  // namespace
}  // namespace file_system_faults

extern "C" int fsync(int fd) {
  struct stat info;
  if (fstat(fd, &info) == 0) file_system_faults::record('s', info);
  return static_cast<int>(syscall(SYS_fsync, fd));
}

extern "C" int linkat(int from_folder, const char *from, int to_folder, const char *to,
                      int flags) noexcept {
  if (file_system_faults::kill_when_linking) raise(SIGKILL);
  struct stat info;
  if (fstatat(from_folder, from, &info,
              (flags & AT_SYMLINK_FOLLOW) != 0 ? 0 : AT_SYMLINK_NOFOLLOW) == 0) {
    file_system_faults::record('l', info);
  }
  return static_cast<int>(syscall(SYS_linkat, from_folder, from, to_folder, to, flags));
}

extern "C" int link(const char *from, const char *to) noexcept {
  return linkat(AT_FDCWD, from, AT_FDCWD, to, 0);
}

extern "C" int open(const char *path, int flags, ...) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    va_list rest;
    va_start(rest, flags);
    mode = static_cast<mode_t>(va_arg(rest, int));
    va_end(rest);
  }
  if (file_system_faults::refuse_unnamed_files && (flags & O_TMPFILE) == O_TMPFILE) {
    errno = EOPNOTSUPP;
    return -1;
  }
  return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}
