#include "platform/master_key.h"

#include <fcntl.h>
#include <pwd.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

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

bool only_owner_may_write(const struct stat &info) {
  return info.st_uid == geteuid() && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// The folder that holds the key; fails when there is no profile folder to put it in.
DWORD key_folder(std::string &folder) {
  std::string profile;
  const char *home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') {
    profile = home;
  } else {
    const struct passwd *user = getpwuid(geteuid());
    if (user == nullptr || user->pw_dir == nullptr || user->pw_dir[0] != '/') {
      return ERROR_PATH_NOT_FOUND;
    }
    profile = user->pw_dir;
  }
  struct stat info;
  if (stat(profile.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return ERROR_PATH_NOT_FOUND;

  const char *data_home = std::getenv("XDG_DATA_HOME");
  folder = (data_home != nullptr && data_home[0] == '/') ? std::string(data_home)
                                                         : profile + "/.local/share";
  folder += "/velkor-dpapi";
  return 0;
}

// Makes the folder and any missing parents, each readable by the user alone.
DWORD make_folders(const std::string &folder) {
  for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    const std::string part = folder.substr(0, slash);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      return (errno == ENOENT || errno == ENOTDIR) ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED;
    }
    if (slash == std::string::npos) return 0;
  }
}

// A folder that someone else could write to could have its key swapped.
DWORD check_folder(const std::string &folder) {
  struct stat info;
  if (lstat(folder.c_str(), &info) != 0) {
    return errno == ENOENT ? NTE_BAD_KEY_STATE : ERROR_ACCESS_DENIED;
  }
  if (!S_ISDIR(info.st_mode) || !only_owner_may_write(info)) return ERROR_ACCESS_DENIED;
  return 0;
}

DWORD read_key(const std::string &path, unsigned char (&key)[kMasterKeyBytes]) {
  const Descriptor file(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
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

bool write_all(int fd, const unsigned char *bytes, std::size_t length) {
  while (length > 0) {
    const ssize_t n = write(fd, bytes, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

// Writes a fresh key in full, then links it to its name: the name never shows a partial key,
// and link() refuses to replace a key that a concurrent run put there first.
DWORD create_key(const std::string &folder, const std::string &path,
                 unsigned char (&key)[kMasterKeyBytes]) {
  std::string temporary = folder + "/.master.key.XXXXXX";
  const Descriptor file(mkstemp(&temporary[0]));
  if (file.fd < 0) return ERROR_ACCESS_DENIED;
  randombytes_buf(key, sizeof key);
  const bool written =
      fchmod(file.fd, 0600) == 0 && write_all(file.fd, key, sizeof key) && fsync(file.fd) == 0;
  const int linked = written ? link(temporary.c_str(), path.c_str()) : -1;
  const int link_error = errno;
  unlink(temporary.c_str());
  if (linked == 0) {
    const Descriptor directory(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.fd >= 0) fsync(directory.fd);
    return 0;
  }
  sodium_memzero(key, sizeof key);
  if (written && link_error == EEXIST) return read_key(path, key);  // another run was first
  return ERROR_ACCESS_DENIED;
}

}  // namespace

DWORD load_master_key(bool create, unsigned char (&key)[kMasterKeyBytes]) {
  std::string folder;
  DWORD error = key_folder(folder);
  if (error != 0) return error;
  const std::string path = folder + "/master.key";

  if (create && (error = make_folders(folder)) != 0) return error;
  if ((error = check_folder(folder)) != 0) return error;
  error = read_key(path, key);
  if (error == NTE_BAD_KEY_STATE && create) error = create_key(folder, path, key);
  return error;
}
