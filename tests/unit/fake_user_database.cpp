#include "fake_user_database.h"

#include <dlfcn.h>
#include <pwd.h>

#include <cerrno>

namespace fake_user_database {
bool active = false;
const char *home = nullptr;
}  // namespace fake_user_database

extern "C" struct passwd *getpwuid(uid_t uid) {
  if (!fake_user_database::active) {
    using Real = struct passwd *(*)(uid_t);
    const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "getpwuid"));
    return real != nullptr ? real(uid) : nullptr;
  }
  static char name[] = "velkor";
  static char none[] = "";
  static struct passwd entry;
  if (fake_user_database::home == nullptr) {
    errno = 0;  // no such user, which is no error of the lookup
    return nullptr;
  }
  entry = {name, none, uid, uid, none, const_cast<char *>(fake_user_database::home), none};
  return &entry;
}
