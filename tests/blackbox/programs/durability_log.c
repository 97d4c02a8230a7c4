/* What a program flushes to disk and links, seen from outside it: loaded into the tool with
 * LD_PRELOAD, this library takes the place of the C library's fsync, link and linkat and appends a
 * line for each call to the file named by VELKOR_DURABILITY_LOG:
 *
 *     fsync DEVICE INODE        the file flushed
 *     link|linkat ERROR DEVICE INODE   the file being linked (0 0 when it cannot be found), and
 *                               the call's errno, 0 when it succeeded
 *
 * so that a test can tell that a new file reached the disk before it took its name, and its
 * folder after, wherever the tool runs (no /proc needed). errno is as the real call left it. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

static void note(const char *what, int error, const struct stat *info) {
  const char *path = getenv("VELKOR_DURABILITY_LOG");
  if (path == NULL) return;
  char line[128];
  const int length =
      error < 0 ? snprintf(line, sizeof line, "%s %llu %llu\n", what,
                           (unsigned long long)info->st_dev, (unsigned long long)info->st_ino)
                : snprintf(line, sizeof line, "%s %d %llu %llu\n", what, error,
                           (unsigned long long)info->st_dev, (unsigned long long)info->st_ino);
  const int log = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (log < 0) return;
  if (length > 0 && write(log, line, (size_t)length) != length) {
    /* a short log fails the test that reads it */
  }
  close(log);
}

int fsync(int fd) {
  struct stat info;
  memset(&info, 0, sizeof info);
  const int saved = errno;
  if (fstat(fd, &info) == 0) note("fsync", -1, &info);
  errno = saved;
  return (int)syscall(SYS_fsync, fd);
}

static int linked(const char *what, int from_folder, const char *from, int to_folder,
                  const char *to, int flags) {
  struct stat info;
  memset(&info, 0, sizeof info);
  if (fstatat(from_folder, from, &info,
              (flags & AT_SYMLINK_FOLLOW) != 0 ? 0 : AT_SYMLINK_NOFOLLOW) != 0) {
    memset(&info, 0, sizeof info);
  }
  const int result = (int)syscall(SYS_linkat, from_folder, from, to_folder, to, flags);
  const int error = result == 0 ? 0 : errno;
  note(what, error, &info);
  errno = error;
  return result;
}

int linkat(int from_folder, const char *from, int to_folder, const char *to, int flags) {
  return linked("linkat", from_folder, from, to_folder, to, flags);
}

int link(const char *from, const char *to) {
  return linked("link", AT_FDCWD, from, AT_FDCWD, to, 0);
}
