// The user database as the stand-in linked into a test program sees it: the C library's getpwuid
// is replaced there by one that can answer with a home folder of the test's choosing, so the
// fallback to the user's entry can be tried without touching the real user's profile.
#pragma once

namespace fake_user_database {

// While set, getpwuid answers every user with an entry whose home folder is `home`, or with no
// entry at all when `home` is null. Unset, the real entry.
extern bool active;
extern const char *home;

}  // namespace fake_user_database
