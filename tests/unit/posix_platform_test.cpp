// The POSIX stand-in for the data-protection operations: real sealing under a per-user key kept
// in a fresh profile folder for each test.
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fake_user_database.h"
#include "file_system_faults.h"
#include "platform/dpapi.h"
#include "platform/master_key.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<BYTE>;

const Bytes kEntropy = {'V', 'e', 'l', 'k', 'o', 'r', 'D', 'e', 's', 'k', '.', 'v',
                        'a', 'u', 'l', 't', 'k', 'e', 'y', 's', '.', 'v', '2'};
const char16_t kDescription[] = u"Velkor wallet";
constexpr std::size_t kOverhead = 4 + 1 + 4 + 26 + 24 + 16;  // header with the description, tag

struct Result {
  bool ok;
  DWORD error;
  Bytes out;
};

Result finish(BOOL ok, DATA_BLOB &out) {
  Result result{ok != 0, ok != 0 ? 0 : GetLastError(), {}};
  if (ok) {
    result.out.assign(out.pbData, out.pbData + out.cbData);
    LocalFree(out.pbData);
  }
  return result;
}

DATA_BLOB blob_over(const Bytes &bytes) {
  return DATA_BLOB{static_cast<DWORD>(bytes.size()), const_cast<BYTE *>(bytes.data())};
}

Result seal(const Bytes &plain, const Bytes *entropy = &kEntropy) {
  DATA_BLOB in = blob_over(plain);
  DATA_BLOB extra = entropy != nullptr ? blob_over(*entropy) : DATA_BLOB{};
  DATA_BLOB out{};
  return finish(CryptProtectData(&in, kDescription, entropy != nullptr ? &extra : nullptr, nullptr,
                                 nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out),
                out);
}

Result unseal(const Bytes &blob, const Bytes *entropy = &kEntropy, LPWSTR *description = nullptr) {
  DATA_BLOB in = blob_over(blob);
  DATA_BLOB extra = entropy != nullptr ? blob_over(*entropy) : DATA_BLOB{};
  DATA_BLOB out{};
  return finish(CryptUnprotectData(&in, description, entropy != nullptr ? &extra : nullptr, nullptr,
                                   nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out),
                out);
}

Bytes file_bytes(const fs::path &path) {
  std::ifstream file(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(file), {});
}

class PosixPlatform : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = make_home();
    unsetenv("XDG_DATA_HOME");
    use_home(home_);
  }
  void TearDown() override {
    for (const fs::path &home : homes_) fs::remove_all(home);
  }

  fs::path make_home() {
    std::string pattern = (fs::temp_directory_path() / "velkor-home-XXXXXX").string();
    homes_.emplace_back(mkdtemp(&pattern[0]));
    return homes_.back();
  }
  static void use_home(const fs::path &home) { setenv("HOME", home.c_str(), 1); }
  fs::path folder() const { return home_ / ".local/share/velkor-dpapi"; }
  fs::path key_file() const { return folder() / "master.key"; }

  fs::path home_;
  std::vector<fs::path> homes_;
};

TEST_F(PosixPlatform, RoundTripsSecretsOfEverySize) {
  for (const std::size_t size :
       {std::size_t{0}, std::size_t{1}, std::size_t{300}, std::size_t{16 * 1024 * 1024 - 4096}}) {
    Bytes secret(size);
    for (std::size_t i = 0; i < size; ++i) secret[i] = static_cast<BYTE>(i * 31 + 7);
    const Result sealed = seal(secret);
    ASSERT_TRUE(sealed.ok) << sealed.error;
    EXPECT_EQ(sealed.out.size(), size + kOverhead);
    const Result opened = unseal(sealed.out);
    ASSERT_TRUE(opened.ok) << opened.error;
    EXPECT_EQ(opened.out, secret);
  }
  // A fresh nonce every time: the same secret never seals to the same blob.
  EXPECT_NE(seal({1, 2, 3}).out, seal({1, 2, 3}).out);
}

TEST_F(PosixPlatform, StoresTheDescriptionReadableWithoutTheKey) {
  const Result sealed = seal({0x42});
  ASSERT_TRUE(sealed.ok);
  const Bytes header(sealed.out.begin(), sealed.out.begin() + 35);
  const Bytes expected = {'V', 'K', 'D', 'P', 1, 26,  0, 0,   0, 'V', 0, 'e',
                          0,   'l', 0,   'k', 0, 'o', 0, 'r', 0, ' ', 0, 'w',
                          0,   'a', 0,   'l', 0, 'l', 0, 'e', 0, 't', 0};
  EXPECT_EQ(header, expected);

  LPWSTR description = nullptr;
  ASSERT_TRUE(unseal(sealed.out, &kEntropy, &description).ok);
  ASSERT_NE(description, nullptr);
  EXPECT_EQ(std::u16string(description), std::u16string(kDescription));
  LocalFree(description);
}

TEST_F(PosixPlatform, AnyChangeFailsWithInvalidData) {
  const Result sealed = seal({'s', 'e', 'c', 'r', 'e', 't'});
  ASSERT_TRUE(sealed.ok);
  const Bytes &blob = sealed.out;
  // Marker, version, description length, description, nonce, sealed bytes, tag.
  for (const std::size_t at : {0, 4, 5, 8, 9, 34, 35, 58, 59, 64, 65, 80}) {
    Bytes changed = blob;
    changed[at] ^= 0x01;
    const Result r = unseal(changed);
    EXPECT_FALSE(r.ok) << "byte " << at;
    EXPECT_EQ(r.error, ERROR_INVALID_DATA) << "byte " << at;
  }
  const Bytes wrong_entropy = {'V', 'e', 'l', 'k', 'o', 'r'};
  Bytes longer_entropy = kEntropy;
  longer_entropy.push_back(0);
  const Bytes cut(blob.begin(), blob.end() - 1);
  Bytes extended = blob;
  extended.push_back(0);
  const struct {
    const char *name;
    Bytes blob;
    const Bytes *entropy;
  } cases[] = {
      {"wrong entropy", blob, &wrong_entropy},
      {"longer entropy", blob, &longer_entropy},
      {"no entropy", blob, nullptr},
      {"cut short", cut, &kEntropy},
      {"extended", extended, &kEntropy},
      {"header only", Bytes(blob.begin(), blob.begin() + 59), &kEntropy},
      {"empty", {}, &kEntropy},
      {"foreign", Bytes(100, 0x5A), &kEntropy},
  };
  for (const auto &c : cases) {
    const Result r = unseal(c.blob, c.entropy);
    EXPECT_FALSE(r.ok) << c.name;
    EXPECT_EQ(r.error, ERROR_INVALID_DATA) << c.name;
  }
}

TEST_F(PosixPlatform, UnsealWithoutAKeyFailsAndCreatesNothing) {
  const fs::path other = make_home();
  use_home(other);
  const Result sealed = seal({9, 9});
  ASSERT_TRUE(sealed.ok);

  use_home(home_);
  const Result r = unseal(sealed.out);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, NTE_BAD_KEY_STATE);
  EXPECT_TRUE(fs::is_empty(home_));

  // Once this profile has a key of its own, the other profile's blob is just invalid data.
  ASSERT_TRUE(seal({1}).ok);
  EXPECT_EQ(unseal(sealed.out).error, ERROR_INVALID_DATA);
}

TEST_F(PosixPlatform, KeepsOneKeyReadableByTheUserAlone) {
  ASSERT_TRUE(seal({1}).ok);
  struct stat info;
  ASSERT_EQ(stat(folder().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0700u);
  EXPECT_EQ(info.st_uid, geteuid());
  ASSERT_EQ(stat(key_file().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_EQ(info.st_uid, geteuid());
  EXPECT_EQ(info.st_size, 32);

  const Bytes key = file_bytes(key_file());
  ASSERT_TRUE(seal({2}).ok);
  EXPECT_EQ(file_bytes(key_file()), key);                             // reused, never replaced
  EXPECT_EQ(std::distance(fs::directory_iterator(folder()), {}), 1);  // no temporary left
}

TEST_F(PosixPlatform, TheKeyIsTheUsersAloneWhateverTheUmask) {
  for (const mode_t mask : {mode_t{0477}, mode_t{0}}) {
    home_ = make_home();
    use_home(home_);
    const mode_t saved = umask(mask);
    const Result sealed = seal({4});
    EXPECT_EQ(umask(saved), mask) << "the caller's umask is put back";
    ASSERT_TRUE(sealed.ok) << mask;
    struct stat info;
    ASSERT_EQ(stat(key_file().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u) << mask;
    EXPECT_TRUE(unseal(sealed.out).ok) << mask;
  }
}

TEST_F(PosixPlatform, AKillBeforeTheKeyIsLinkedLeavesNoFileBehind) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    file_system_faults::kill_when_linking = true;
    seal({1});
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "never got to link the key";
  EXPECT_TRUE(fs::is_empty(folder()));

  ASSERT_TRUE(seal({1}).ok);  // and the next run makes the key as if nothing had happened
  EXPECT_EQ(std::distance(fs::directory_iterator(folder()), {}), 1);
}

TEST_F(PosixPlatform, WithoutUnnamedFilesANamedTemporaryFileIsRemovedOnEveryPath) {
  file_system_faults::refuse_unnamed_files = true;
  // A key that cannot be written (no file may grow): a failure, and no file left.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const struct rlimit none = {0, 0};
    setrlimit(RLIMIT_FSIZE, &none);
    _exit(seal({1}).error == ERROR_ACCESS_DENIED ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(fs::is_empty(folder()));

  // A key that is made: the key alone, with the user's mode whatever the umask.
  const mode_t saved = umask(0477);
  const Result sealed = seal({1});
  umask(saved);
  file_system_faults::refuse_unnamed_files = false;
  ASSERT_TRUE(sealed.ok) << sealed.error;
  EXPECT_EQ(std::distance(fs::directory_iterator(folder()), {}), 1);
  struct stat info;
  ASSERT_EQ(stat(key_file().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_TRUE(unseal(sealed.out).ok);
}

TEST_F(PosixPlatform, ANewKeyReachesTheDiskBeforeItIsUsed) {
  // A power cut right after the first seal must not lose the key that sealed: each folder made
  // on the way is flushed into the folder that holds it, the key's bytes are flushed before it
  // takes its name, and its folder, which holds the name, right after. The same on both ways of
  // making the key.
  using file_system_faults::FileEvent;
  for (const bool unnamed : {true, false}) {
    home_ = make_home();
    use_home(home_);
    file_system_faults::refuse_unnamed_files = !unnamed;
    file_system_faults::event_count = 0;
    file_system_faults::record_durability = true;
    const Result sealed = seal({1});
    file_system_faults::record_durability = false;
    file_system_faults::refuse_unnamed_files = false;
    ASSERT_TRUE(sealed.ok) << sealed.error;

    const std::pair<const char *, fs::path> names[] = {{"key", key_file()},
                                                       {"folder", folder()},
                                                       {"share", home_ / ".local/share"},
                                                       {".local", home_ / ".local"},
                                                       {"home", home_}};
    const auto describe = [&](const FileEvent &event) {
      const std::string what = event.kind == 's' ? "fsync " : "link ";
      for (const auto &[name, path] : names) {
        struct stat info;
        if (stat(path.c_str(), &info) == 0 && event.device == info.st_dev &&
            event.inode == info.st_ino) {
          return what + name;
        }
      }
      return what + "inode " + std::to_string(event.inode);
    };
    std::vector<std::string> seen;
    for (std::size_t i = 0; i < file_system_faults::event_count; ++i) {
      seen.push_back(describe(file_system_faults::events[i]));
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"fsync home", "fsync .local", "fsync share",
                                              "fsync key", "link key", "fsync folder"}))
        << (unnamed ? "unnamed file" : "named temporary file");
  }
}

TEST_F(PosixPlatform, RefusesAKeyFolderThatOthersCouldRenameAway) {
  // XDG_DATA_HOME inside a folder `above`, set up as each case says. Another user could rename
  // the key's folder away from a folder they may write to, and the next seal would quietly make
  // a new key: every blob sealed before would be lost.
  const struct {
    const char *name;
    mode_t mode;
    bool other_owner;   // `above` belongs to another user (needs privileges to set up)
    bool through_link;  // XDG_DATA_HOME names a link to the data folder, kept in `above`
    DWORD error;
  } cases[] = {
      {"the user's own", 0755, false, false, 0},
      {"writable by others", 0777, false, false, ERROR_ACCESS_DENIED},
      {"writable by the group", 0775, false, false, ERROR_ACCESS_DENIED},
      {"writable by others, but sticky", 01777, false, false, 0},
      {"another user's", 0755, true, false, ERROR_ACCESS_DENIED},
      {"another user's, sticky", 01777, true, false, ERROR_ACCESS_DENIED},
      {"a link kept where others may write", 0777, false, true, ERROR_ACCESS_DENIED},
      {"a link kept in the user's own folder", 0755, false, true, 0},
  };
  for (const auto &c : cases) {
    const fs::path above = make_home() / "above";
    fs::create_directory(above);
    ASSERT_EQ(chmod(above.c_str(), c.mode), 0);
    if (c.other_owner && chown(above.c_str(), geteuid() + 4242, static_cast<gid_t>(-1)) != 0) {
      continue;  // changing the owner needs privileges
    }
    const fs::path data = above / "data";
    const fs::path target = c.through_link ? make_home() / "data" : data;
    if (c.through_link) {
      fs::create_directory(target);
      fs::create_symlink(target, data);
    }
    setenv("XDG_DATA_HOME", data.c_str(), 1);
    EXPECT_EQ(seal({7}).error, c.error) << c.name;
    // Refused before anything is made: no folder is left behind.
    if (c.error != 0) {
      EXPECT_TRUE(!fs::exists(target) || fs::is_empty(target)) << c.name;
    }
  }
  // The same for a folder the link leads through: the data folder is judged where it really is.
  const fs::path open_to_all = make_home() / "open";
  fs::create_directory(open_to_all);
  ASSERT_EQ(chmod(open_to_all.c_str(), 0777), 0);
  const fs::path link = make_home() / "link";
  fs::create_symlink(open_to_all, link);
  setenv("XDG_DATA_HOME", (link / "data").c_str(), 1);
  EXPECT_EQ(seal({7}).error, ERROR_ACCESS_DENIED);

  // A home that is a symbolic link (to a folder of the user's own, from one of theirs) seals and
  // opens, with the key where the link leads.
  unsetenv("XDG_DATA_HOME");
  const fs::path linked_home = make_home() / "home";
  fs::create_symlink(home_, linked_home);
  use_home(linked_home);
  const Result sealed = seal({8});
  ASSERT_TRUE(sealed.ok) << sealed.error;
  EXPECT_TRUE(unseal(sealed.out).ok);
  EXPECT_TRUE(fs::is_regular_file(key_file()));
}

TEST_F(PosixPlatform, AKeyPathAtTheSystemsLimitIsTakenAndOneByteLongerIsNot) {
  // The system takes a path of PATH_MAX bytes with its terminating zero. The folders are made
  // under XDG_DATA_HOME, which is padded out to put the key's path exactly at the limit or one
  // byte over it; on both ways of making the key, whose temporary name must fit as well.
  const std::string key_suffix = "/velkor-dpapi/master.key";
  for (const bool unnamed : {true, false}) {
    for (const std::size_t key_length : {std::size_t{PATH_MAX - 1}, std::size_t{PATH_MAX}}) {
      const fs::path base = make_home();
      std::string data = base.string();
      const std::size_t data_length = key_length - key_suffix.size();
      while (data.size() < data_length) {  // names of at most 200 bytes, none empty
        const std::size_t left = data_length - data.size() - 1;
        std::size_t name = left < 200 ? left : 200;
        if (left - name == 1) --name;
        data += "/" + std::string(name, 'd');
      }
      ASSERT_EQ((data + key_suffix).size(), key_length);
      setenv("XDG_DATA_HOME", data.c_str(), 1);
      file_system_faults::refuse_unnamed_files = !unnamed;
      const Result sealed = seal({5});
      file_system_faults::refuse_unnamed_files = false;
      const std::string name = std::to_string(key_length) + " bytes, " +
                               (unnamed ? "unnamed file" : "named temporary file");
      if (key_length < PATH_MAX) {
        ASSERT_TRUE(sealed.ok) << name << ": error " << sealed.error;
        EXPECT_TRUE(unseal(sealed.out).ok) << name;
        EXPECT_EQ(file_bytes(data + key_suffix).size(), kMasterKeyBytes) << name;
      } else {
        EXPECT_EQ(sealed.error, ERROR_PATH_NOT_FOUND) << name;
        EXPECT_TRUE(fs::is_empty(base)) << name;  // refused before any folder is made
      }
    }
  }
}

TEST_F(PosixPlatform, FollowsXdgDataHomeWhenAbsolute) {
  const fs::path data = make_home();
  setenv("XDG_DATA_HOME", data.c_str(), 1);
  ASSERT_TRUE(seal({1}).ok);
  EXPECT_TRUE(fs::exists(data / "velkor-dpapi/master.key"));

  setenv("XDG_DATA_HOME", "relative/data", 1);
  ASSERT_TRUE(seal({1}).ok);
  EXPECT_TRUE(fs::exists(key_file()));
}

TEST_F(PosixPlatform, RefusesAnUnsafeKeyAndLeavesItAlone) {
  const struct {
    const char *name;
    void (*spoil)(const fs::path &key, const fs::path &folder);
  } cases[] = {
      {"group-readable", [](const fs::path &key, const fs::path &) { chmod(key.c_str(), 0640); }},
      {"other-readable", [](const fs::path &key, const fs::path &) { chmod(key.c_str(), 0604); }},
      {"group-writable", [](const fs::path &key, const fs::path &) { chmod(key.c_str(), 0620); }},
      {"short", [](const fs::path &key, const fs::path &) { fs::resize_file(key, 31); }},
      {"long", [](const fs::path &key, const fs::path &) { fs::resize_file(key, 33); }},
      {"folder writable by others",
       [](const fs::path &, const fs::path &folder) { chmod(folder.c_str(), 0777); }},
      {"symbolic link",
       [](const fs::path &key, const fs::path &folder) {
         fs::rename(key, folder / "elsewhere.key");
         fs::create_symlink(folder / "elsewhere.key", key);
       }},
      {"owned by another user",
       [](const fs::path &key, const fs::path &) {
         if (chown(key.c_str(), geteuid() + 4242, static_cast<gid_t>(-1)) != 0) {
           GTEST_SKIP() << "changing the owner needs privileges";
         }
       }},
  };
  for (const auto &c : cases) {
    home_ = make_home();
    use_home(home_);
    const Result sealed = seal({7});
    ASSERT_TRUE(sealed.ok);
    c.spoil(key_file(), folder());
    if (IsSkipped()) return;
    const Bytes key = file_bytes(key_file());
    struct stat before, after;
    ASSERT_EQ(lstat(key_file().c_str(), &before), 0);

    EXPECT_EQ(seal({7}).error, ERROR_ACCESS_DENIED) << c.name;
    EXPECT_EQ(unseal(sealed.out).error, ERROR_ACCESS_DENIED) << c.name;

    ASSERT_EQ(lstat(key_file().c_str(), &after), 0);
    EXPECT_EQ(file_bytes(key_file()), key) << c.name;
    EXPECT_EQ(after.st_mode, before.st_mode) << c.name;
    EXPECT_EQ(after.st_ino, before.st_ino) << c.name;
  }
}

TEST_F(PosixPlatform, NoProfileFolderIsPathNotFound) {
  setenv("HOME", (home_ / "missing").c_str(), 1);
  EXPECT_EQ(seal({1}).error, ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(unseal(Bytes(100, 0)).error, ERROR_INVALID_DATA);  // the format fails first
}

TEST_F(PosixPlatform, TheEnvironmentChoosesTheKeyFolder) {
  // An absolute XDG_DATA_HOME holds the key whatever HOME is. Otherwise an absolute HOME is the
  // profile, there or not; an unset, empty or relative HOME gives way to the user's entry in the
  // user database. No profile folder is ERROR_PATH_NOT_FOUND, with nothing made anywhere.
  const fs::path data = make_home(), passwd_home = make_home();
  const std::string data_text = data.string(), home_text = home_.string(),
                    missing_text = (home_ / "missing").string(), passwd_text = passwd_home.string(),
                    passwd_missing_text = (passwd_home / "missing").string();
  const char *const kUnset = nullptr;
  const char *const kNoEntry = nullptr;
  const struct {
    const char *name;
    const char *xdg_data_home;
    const char *home;
    const char *passwd_home;
    const fs::path *holds_the_key;  // null: no profile folder
  } cases[] = {
      {"data, missing home", data_text.c_str(), missing_text.c_str(), passwd_text.c_str(), &data},
      {"data, no home", data_text.c_str(), kUnset, passwd_missing_text.c_str(), &data},
      {"data, relative home", data_text.c_str(), "relative/home", kNoEntry, &data},
      {"relative data, home", "relative/data", home_text.c_str(), passwd_text.c_str(), &home_},
      {"home", kUnset, home_text.c_str(), passwd_text.c_str(), &home_},
      {"missing home", kUnset, missing_text.c_str(), passwd_text.c_str(), nullptr},
      {"no home", kUnset, kUnset, passwd_text.c_str(), &passwd_home},
      {"empty data, empty home", "", "", passwd_text.c_str(), &passwd_home},
      {"relative home", kUnset, "relative/home", passwd_text.c_str(), &passwd_home},
      {"relative data, no home", "relative/data", kUnset, passwd_text.c_str(), &passwd_home},
      {"no home, missing entry's home", kUnset, kUnset, passwd_missing_text.c_str(), nullptr},
      {"no home, no entry", kUnset, kUnset, kNoEntry, nullptr},
  };
  // A relative path wrongly taken would be made here, out of the way.
  const fs::path working_folder = fs::current_path();
  fs::current_path(make_home());
  const auto set = [](const char *name, const char *value) {
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  };
  for (const auto &c : cases) {
    for (const fs::path &place : {data, home_, passwd_home}) {
      for (const auto &entry : fs::directory_iterator(place)) fs::remove_all(entry.path());
    }
    set("XDG_DATA_HOME", c.xdg_data_home);
    set("HOME", c.home);
    fake_user_database::home = c.passwd_home;
    fake_user_database::active = true;
    const Result sealed = seal({9});
    const Result opened = sealed.ok ? unseal(sealed.out) : Result{};
    fake_user_database::active = false;
    if (c.holds_the_key == nullptr) {
      EXPECT_EQ(sealed.error, ERROR_PATH_NOT_FOUND) << c.name;
    } else {
      EXPECT_TRUE(sealed.ok) << c.name << ": error " << sealed.error;
      EXPECT_EQ(opened.out, Bytes{9}) << c.name;
      const fs::path key = *c.holds_the_key == data
                               ? data / "velkor-dpapi/master.key"
                               : *c.holds_the_key / ".local/share/velkor-dpapi/master.key";
      EXPECT_TRUE(fs::is_regular_file(key)) << c.name;
    }
    for (const fs::path &place : {data, home_, passwd_home}) {
      const bool holds = c.holds_the_key != nullptr && *c.holds_the_key == place;
      EXPECT_EQ(fs::is_empty(place), !holds) << c.name << ": " << place;
    }
  }
  EXPECT_FALSE(fs::exists("relative")) << "a relative path is never taken";
  fs::current_path(working_folder);
}

TEST_F(PosixPlatform, RefusesArgumentsItCannotHonour) {
  const Bytes plain = {1, 2};
  DATA_BLOB in = blob_over(plain);
  DATA_BLOB entropy = blob_over(kEntropy);
  DATA_BLOB null_bytes = {5, nullptr};
  DATA_BLOB out{};
  int reserved = 0;
  const struct {
    const char *name;
    DATA_BLOB *in;
    DATA_BLOB *entropy;
    PVOID reserved;
    bool prompt;
    DWORD flags;
    DATA_BLOB *out;
  } cases[] = {
      {"null input", nullptr, &entropy, nullptr, false, 1, &out},
      {"input without bytes", &null_bytes, &entropy, nullptr, false, 1, &out},
      {"entropy without bytes", &in, &null_bytes, nullptr, false, 1, &out},
      {"reserved", &in, &entropy, &reserved, false, 1, &out},
      {"prompt", &in, &entropy, nullptr, true, 1, &out},
      {"local machine flag", &in, &entropy, nullptr, false, 1 | 4, &out},
      {"audit flag", &in, &entropy, nullptr, false, 0x10, &out},
      {"null output", &in, &entropy, nullptr, false, 1, nullptr},
  };
  for (const auto &c : cases) {
    auto *prompt = c.prompt ? reinterpret_cast<CRYPTPROTECT_PROMPTSTRUCT *>(&reserved) : nullptr;
    EXPECT_FALSE(
        CryptProtectData(c.in, kDescription, c.entropy, c.reserved, prompt, c.flags, c.out))
        << c.name;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << c.name;
    EXPECT_FALSE(CryptUnprotectData(c.in, nullptr, c.entropy, c.reserved, prompt, c.flags, c.out))
        << c.name;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << c.name;
  }
  EXPECT_TRUE(fs::is_empty(home_));
}

TEST_F(PosixPlatform, ConcurrentFirstSealsAgreeOnOneKey) {
  constexpr int kRuns = 16;
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  std::vector<pid_t> children;
  for (int i = 0; i < kRuns; ++i) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(go[1]);
      char start;
      if (read(go[0], &start, 1) != 0) _exit(2);  // waits until the parent lets all go at once
      const Result sealed = seal({static_cast<BYTE>(i)});
      std::ofstream(home_ / ("blob" + std::to_string(i)), std::ios::binary)
          .write(reinterpret_cast<const char *>(sealed.out.data()),
                 static_cast<std::streamsize>(sealed.out.size()));
      _exit(sealed.ok ? 0 : 1);
    }
    children.push_back(pid);
  }
  close(go[0]);
  close(go[1]);
  for (const pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (int i = 0; i < kRuns; ++i) {
    const Result opened = unseal(file_bytes(home_ / ("blob" + std::to_string(i))));
    EXPECT_TRUE(opened.ok) << "run " << i << " error " << opened.error;
    EXPECT_EQ(opened.out, Bytes{static_cast<BYTE>(i)});
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(folder()), {}), 1);
}

}  // namespace
