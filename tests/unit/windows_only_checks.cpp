// What Wine cannot show, checked on real Windows: registered as a test on a Windows host alone,
// so it runs on the hosted Windows runners and never on the project's own machines, where it is
// only built. Each check prints one line; the exit status is the number that failed.
//   - secret memory locked (VirtualLock) as Windows reports it, also past the minimum working set,
//     and unlocked again;
//   - a block excluded from error reports while guarded, and no longer once unguarded;
//   - the process mitigation policies and the error mode after the tool's start-up;
//   - a pipe whose reader left: the code Windows gives (109 or 232) is a reader gone to the
//     tool's writes, no failure.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// psapi.h needs windows.h first.
// clang-format off
#include <windows.h>
#include <psapi.h>
// clang-format on
#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>  // _doserrno
#include <initializer_list>

#include "common/secret_memory.h"
#include "common/stream_io.h"
#include "common/system_function.h"
#include "front/process_setup.h"

namespace {

constexpr std::size_t kPage = 4096;
int failures = 0;

void report(bool passed, const char *check, unsigned long detail = 0) {
  std::printf("%s: %s (%lu)\n", passed ? "ok" : "FAILED", check, detail);
  if (!passed) ++failures;
}

// How many pages of the block Windows reports resident and locked.
std::size_t locked_pages(const unsigned char *block, std::size_t size) {
  using QueryCall = BOOL(WINAPI *)(HANDLE, PVOID, DWORD);
  static const auto query = kernel32_function<QueryCall>("K32QueryWorkingSetEx");
  std::size_t locked = 0;
  for (std::size_t at = 0; query != nullptr && at < size; at += kPage) {
    PSAPI_WORKING_SET_EX_INFORMATION page = {};
    page.VirtualAddress = const_cast<unsigned char *>(block + at);
    if (query(GetCurrentProcess(), &page, sizeof page) && page.VirtualAttributes.Valid &&
        page.VirtualAttributes.Locked) {
      ++locked;
    }
  }
  return locked;
}

void check_locking() {
  // 64 KiB fits the default working set; 8 MiB needs it raised first.
  for (const std::size_t size : {std::size_t{64} << 10, std::size_t{8} << 20}) {
    auto *block = static_cast<unsigned char *>(
        VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (block == nullptr) {
      report(false, "allocating a block to lock", GetLastError());
      continue;
    }
    const std::size_t pages = size / kPage;
    lock_secret(block, size);
    report(locked_pages(block, size) == pages, "every page of the block locked",
           static_cast<unsigned long>(size >> 10));
    unguard_secret(block, size, size);
    report(locked_pages(block, size) == 0, "no page locked once unguarded",
           static_cast<unsigned long>(size >> 10));
    VirtualFree(block, 0, MEM_RELEASE);
  }
}

void check_report_exclusion() {
  // Unregistering finds a block that is registered, and no other.
  using UnregisterCall = HRESULT(WINAPI *)(const void *);
  const auto unregister = kernel32_function<UnregisterCall>("WerUnregisterExcludedMemoryBlock");
  if (unregister == nullptr) {
    report(false, "WerUnregisterExcludedMemoryBlock offered");
    return;
  }
  static unsigned char block[kPage];
  static unsigned char never_guarded[kPage];
  report(FAILED(unregister(never_guarded)), "the control: a block never excluded is not found");
  guard_secret(block, sizeof block);
  report(unregister(block) == S_OK, "a guarded block is excluded from error reports");
  guard_secret(block, sizeof block);
  unguard_secret(block, sizeof block, 0);
  report(FAILED(unregister(block)), "an unguarded block is no longer excluded");
}

void check_start_up() {
  harden_process();
  using GetPolicyCall = BOOL(WINAPI *)(HANDLE, PROCESS_MITIGATION_POLICY, PVOID, SIZE_T);
  const auto get_policy = kernel32_function<GetPolicyCall>("GetProcessMitigationPolicy");
  PROCESS_MITIGATION_IMAGE_LOAD_POLICY image_load = {};
  PROCESS_MITIGATION_EXTENSION_POINT_DISABLE_POLICY extension_points = {};
  const bool read =
      get_policy != nullptr &&
      get_policy(GetCurrentProcess(), ProcessImageLoadPolicy, &image_load, sizeof image_load) &&
      get_policy(GetCurrentProcess(), ProcessExtensionPointDisablePolicy, &extension_points,
                 sizeof extension_points);
  report(read && image_load.NoRemoteImages && image_load.NoLowMandatoryLabelImages &&
             image_load.PreferSystem32Images,
         "image-load policy: no remote or low-integrity images, system DLLs first",
         image_load.Flags);
  report(read && extension_points.DisableExtensionPoints, "extension points disabled",
         extension_points.Flags);
  const UINT dialogs_off = SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX;
  report((GetErrorMode() & dialogs_off) == dialogs_off, "error mode without dialogs",
         GetErrorMode());
}

DWORD WINAPI close_after_a_while(void *handle) {
  Sleep(300);
  CloseHandle(static_cast<HANDLE>(handle));
  return 0;
}

// The tool's whole write to a pipe whose reader leaves before it, or while it waits for room.
void check_reader_that_left(bool while_waiting) {
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, nullptr, 4096)) {
    report(false, "making a pipe", GetLastError());
    return;
  }
  HANDLE closer = nullptr;
  if (while_waiting) {
    closer = CreateThread(nullptr, 0, close_after_a_while, read_end, 0, nullptr);
  } else {
    CloseHandle(read_end);
  }
  const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(write_end), _O_BINARY);
  std::FILE *out = _fdopen(fd, "wb");
  std::setvbuf(out, nullptr, _IONBF, 0);
  static char line[1 << 16];
  const bool written = write_fully(out, line, sizeof line);
  const unsigned long code = _doserrno;
  std::fclose(out);
  if (closer != nullptr) {
    WaitForSingleObject(closer, INFINITE);
    CloseHandle(closer);
  }
  report(written && (code == ERROR_BROKEN_PIPE || code == ERROR_NO_DATA),
         while_waiting ? "a reader that left during the write: no failure, its code"
                       : "a reader that left before the write: no failure, its code",
         code);
}

}  // namespace

int main() {
  check_start_up();
  check_locking();
  check_report_exclusion();
  check_reader_that_left(false);
  check_reader_that_left(true);
  return failures;
}
