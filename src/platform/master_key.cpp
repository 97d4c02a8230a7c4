#include "platform/master_key.h"

#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Closes a descriptor on every path.
struct Descriptor {
  int fd;
  explicit Descriptor(int opened) : fd(opened) {}
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
  Descriptor(const Descriptor &) = delete;
  Descriptor &operator=(const Descriptor &) = delete;
};

// A path in a fixed buffer: building one never allocates, so memory running out cannot end the
// process here.
struct Path {
  char text[PATH_MAX] = {};
  std::size_t length = 0;

  // False when the path would not fit.
  bool append(const char *part) {
    const std::size_t part_length = std::strlen(part);
    if (part_length >= sizeof text - length) return false;
    std::memcpy(text + length, part, part_length + 1);
    length += part_length;
    return true;
  }
};

bool owned_by_user_or_root(const struct stat &info) {
  return info.st_uid == geteuid() || info.st_uid == 0;
}

// The folder that holds the key: under an absolute XDG_DATA_HOME, whatever HOME is; else under
// the profile folder, HOME when absolute, the user's entry in the user database when HOME is
// unset or not absolute. Fails when there is no such profile folder to put it in.
DWORD key_folder(Path &folder) {
  const char *data_home = std::getenv("XDG_DATA_HOME");
  if (data_home != nullptr && data_home[0] == '/') {
    return folder.append(data_home) && folder.append("/velkor-dpapi") ? 0 : ERROR_PATH_NOT_FOUND;
  }
  const char *profile = std::getenv("HOME");
  if (profile == nullptr || profile[0] != '/') {
    errno = 0;
    const struct passwd *user = getpwuid(geteuid());
    if (user == nullptr && errno == ENOMEM) return ERROR_NOT_ENOUGH_MEMORY;
    if (user == nullptr || user->pw_dir == nullptr || user->pw_dir[0] != '/') {
      return ERROR_PATH_NOT_FOUND;
    }
    profile = user->pw_dir;
  }
  struct stat info;
  if (stat(profile, &info) != 0 || !S_ISDIR(info.st_mode)) return ERROR_PATH_NOT_FOUND;
  return folder.append(profile) && folder.append("/.local/share/velkor-dpapi")
             ? 0
             : ERROR_PATH_NOT_FOUND;
}

// Flushes the entry a new file or folder was given in the folder that holds `path`, so that a
// power cut cannot take it away again. Best effort: a folder that cannot be opened or flushed
// leaves the entry to the file system's own schedule.
void sync_parent_folder(const char *path) {
  Path parent;
  if (!parent.append(path)) return;
  while (parent.length > 1 && parent.text[parent.length - 1] != '/') --parent.length;
  parent.text[parent.length] = '\0';
  const Descriptor directory(open(parent.text, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.fd >= 0) fsync(directory.fd);
}

// Sets the process's umask for as long as it lives, then puts the caller's back. The tool is
// single-threaded, so no other thread creates a file meanwhile.
struct UmaskFor {
  mode_t saved;
  explicit UmaskFor(mode_t mask) : saved(umask(mask)) {}
  ~UmaskFor() { umask(saved); }
  UmaskFor(const UmaskFor &) = delete;
  UmaskFor &operator=(const UmaskFor &) = delete;
};

// Makes the folder and any missing parents, each the user's alone. Each is made 0700 at once: a
// concurrent first seal may make a folder inside it, or look for the key there, the moment it
// exists, and the caller's umask (0777 at worst) would leave it without permissions until the
// chmod. The chmod stays for what a umask does not govern (a default ACL), or a folder the user
// cannot enter would fail every later run. Folders that were there are left as they are.
DWORD make_folders(Path &folder) {
  const UmaskFor user_alone(077);
  for (std::size_t end = 1; end <= folder.length; ++end) {
    if (end < folder.length && folder.text[end] != '/') continue;
    const char kept = folder.text[end];
    folder.text[end] = '\0';
    const bool made = mkdir(folder.text, 0700) == 0;
    const int error = errno;
    const bool usable = !made || chmod(folder.text, 0700) == 0;
    if (made) sync_parent_folder(folder.text);
    folder.text[end] = kept;
    if (!made && error != EEXIST) {
      return (error == ENOENT || error == ENOTDIR) ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED;
    }
    if (!usable) return ERROR_ACCESS_DENIED;
  }
  return 0;
}

// Every folder above `path`, up to the root: one that others may write to could have the key's
// folder renamed away (and every blob sealed under its key lost), unless it is sticky, so that
// only an entry's owner may rename it. A symbolic link among them is judged by the folder that
// holds it, and its target by the check of the resolved path. With `missing_is_fine`, a folder
// not made yet passes: it will be the user's own.
DWORD check_folders_above(const char *path, bool missing_is_fine) {
  Path above;
  if (!above.append(path)) return ERROR_ACCESS_DENIED;
  while (above.length > 1) {
    while (above.length > 1 && above.text[above.length - 1] != '/') --above.length;
    if (above.length > 1) --above.length;  // the slash, except the root's own
    above.text[above.length] = '\0';
    struct stat info;
    if (lstat(above.text, &info) != 0) {
      if (missing_is_fine && errno == ENOENT) continue;
      return ERROR_ACCESS_DENIED;
    }
    if (S_ISLNK(info.st_mode)) continue;
    const bool others_may_write = (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    if (!S_ISDIR(info.st_mode) || !owned_by_user_or_root(info) ||
        (others_may_write && (info.st_mode & S_ISVTX) == 0)) {
      return ERROR_ACCESS_DENIED;
    }
  }
  return 0;
}

// The key's folder must be the user's alone, and so must the folders above it, as named and as
// resolved.
DWORD check_folder(const Path &folder) {
  struct stat info;
  if (lstat(folder.text, &info) != 0) {
    return errno == ENOENT ? NTE_BAD_KEY_STATE : ERROR_ACCESS_DENIED;
  }
  if (!S_ISDIR(info.st_mode) || info.st_uid != geteuid() ||
      (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return ERROR_ACCESS_DENIED;
  }
  char resolved[PATH_MAX];
  if (realpath(folder.text, resolved) == nullptr) return ERROR_ACCESS_DENIED;
  if (const DWORD error = check_folders_above(folder.text, false)) return error;
  return check_folders_above(resolved, false);
}

DWORD read_key(const Path &path, unsigned char (&key)[kMasterKeyBytes]) {
  // Anything but a regular file is refused before it is opened: opening a FIFO would wait for a
  // writer for ever. O_NONBLOCK keeps even a FIFO swapped in after this check from blocking the
  // open, and the checks on the opened file refuse it.
  struct stat named;
  if (lstat(path.text, &named) != 0)
    return errno == ENOENT ? NTE_BAD_KEY_STATE : ERROR_ACCESS_DENIED;
  if (!S_ISREG(named.st_mode)) return ERROR_ACCESS_DENIED;
  const Descriptor file(open(path.text, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (file.fd < 0) return errno == ENOENT ? NTE_BAD_KEY_STATE : ERROR_ACCESS_DENIED;
  struct stat info;
  if (fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid() ||
      (info.st_mode & (S_IRWXG | S_IRWXO)) != 0 ||
      info.st_size != static_cast<off_t>(kMasterKeyBytes)) {
    return ERROR_ACCESS_DENIED;
  }
  std::size_t got = 0;
  while (got < kMasterKeyBytes) {
    const ssize_t n = read(file.fd, key + got, kMasterKeyBytes - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      sodium_memzero(key, sizeof key);
      return ERROR_ACCESS_DENIED;
    }
    got += static_cast<std::size_t>(n);
  }
  return 0;
}

// Writes the key in full and flushes it to disk. A write over the file-size limit fails with
// EFBIG rather than killing the process: the tool ignores SIGXFSZ.
bool write_key(int fd, const unsigned char (&key)[kMasterKeyBytes]) {
  std::size_t done = 0;
  while (done < kMasterKeyBytes) {
    const ssize_t n = write(fd, key + done, kMasterKeyBytes - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return fsync(fd) == 0;
}

// The outcome of giving a fully written key file the key's name.
DWORD finish_link(bool linked, int link_error, const Path &path,
                  unsigned char (&key)[kMasterKeyBytes]) {
  if (linked) {
    sync_parent_folder(path.text);
    return 0;
  }
  sodium_memzero(key, sizeof key);
  if (link_error == EEXIST) return read_key(path, key);  // another run was first
  return ERROR_ACCESS_DENIED;
}

#ifdef O_TMPFILE
// The key written to a file without a name, which takes the key's name only once it is whole:
// whatever ends the run, a failure or a kill, no temporary file is left behind. Returns false
// when the system offers no such file here (no O_TMPFILE on this file system, or no /proc to
// name it through), and `error` is not set.
bool create_unnamed_key(const Path &folder, const Path &path, unsigned char (&key)[kMasterKeyBytes],
                        DWORD &error) {
  const Descriptor file(open(folder.text, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
  if (file.fd < 0) {
    // No unnamed files on this kernel (EISDIR) or file system (EOPNOTSUPP).
    if (errno == EISDIR || errno == EOPNOTSUPP) return false;
    error = ERROR_ACCESS_DENIED;
    return true;
  }
  // The mode asked for at the open is cut by the umask: set it whatever that is, or a key the
  // user cannot read would make every blob sealed under it unopenable.
  if (fchmod(file.fd, 0600) != 0 || !write_key(file.fd, key)) {
    sodium_memzero(key, sizeof key);
    error = ERROR_ACCESS_DENIED;
    return true;
  }
  char through_proc[32];
  std::snprintf(through_proc, sizeof through_proc, "/proc/self/fd/%d", file.fd);
  const bool linked = linkat(AT_FDCWD, through_proc, AT_FDCWD, path.text, AT_SYMLINK_FOLLOW) == 0;
  const int link_error = errno;
  if (!linked && link_error == ENOENT && access("/proc/self/fd", F_OK) != 0) return false;
  error = finish_link(linked, link_error, path, key);
  return true;
}
#endif

// The key written to a named temporary file, linked to the key's name once whole; the temporary
// name is removed on every path.
DWORD create_named_key(const Path &folder, const Path &path,
                       unsigned char (&key)[kMasterKeyBytes]) {
  // A name no longer than the key's own: it fits wherever the key's path does.
  Path temporary = folder;
  if (!temporary.append("/.keyXXXXXX")) return ERROR_ACCESS_DENIED;
  const Descriptor file(mkstemp(temporary.text));
  if (file.fd < 0) return ERROR_ACCESS_DENIED;
  const bool written = fchmod(file.fd, 0600) == 0 && write_key(file.fd, key);
  const bool linked = written && link(temporary.text, path.text) == 0;
  const int link_error = written ? errno : 0;
  unlink(temporary.text);
  return finish_link(linked, link_error, path, key);
}

// Makes a fresh key and gives it the key's name: the name never shows a partial key, and linking
// refuses to replace a key that a concurrent run put there first (that one is read instead).
DWORD create_key(const Path &folder, const Path &path, unsigned char (&key)[kMasterKeyBytes]) {
  randombytes_buf(key, sizeof key);
#ifdef O_TMPFILE
  DWORD error = 0;
  if (create_unnamed_key(folder, path, key, error)) return error;
#endif
  return create_named_key(folder, path, key);
}

}  // namespace

DWORD load_master_key(bool create, unsigned char (&key)[kMasterKeyBytes]) {
  Path folder;
  DWORD error = key_folder(folder);
  if (error != 0) return error;
  Path path = folder;
  if (!path.append("/master.key")) return ERROR_PATH_NOT_FOUND;

  // Folders are made only under folders that pass, so a refused run leaves nothing behind.
  if (create && ((error = check_folders_above(folder.text, true)) != 0 ||
                 (error = make_folders(folder)) != 0)) {
    return error;
  }
  if ((error = check_folder(folder)) != 0) return error;
  error = read_key(path, key);
  if (error == NTE_BAD_KEY_STATE && create) error = create_key(folder, path, key);
  return error;
}
