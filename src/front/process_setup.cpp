#include "front/process_setup.h"

#include <cstdio>

#include "hex/stream_buffers.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>

#include <cstdlib>

#include "common/system_function.h"
#else
#include <sys/resource.h>

#include <csignal>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#endif

// LeakSanitizer inspects the process through ptrace, which a non-dumpable process refuses.
#if defined(__SANITIZE_ADDRESS__)
#define VELKOR_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELKOR_SANITIZED 1
#endif
#endif

namespace {

#ifdef _WIN32

// An unhandled exception ends the process at once, with the exception's code: no debugger, no
// error report, no dump that could carry a secret.
LONG WINAPI end_process_at_once(EXCEPTION_POINTERS *exception) {
  TerminateProcess(GetCurrentProcess(), exception->ExceptionRecord->ExceptionCode);
  return EXCEPTION_EXECUTE_HANDLER;
}

void load_dlls_from_the_system_folder_alone() {
  using SetDefaultDllDirectoriesCall = BOOL(WINAPI *)(DWORD);
  const auto set_default =
      kernel32_function<SetDefaultDllDirectoriesCall>("SetDefaultDllDirectories");
  if (set_default != nullptr) set_default(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

void set_mitigation_policies() {
  using SetPolicyCall = BOOL(WINAPI *)(PROCESS_MITIGATION_POLICY, PVOID, SIZE_T);
  const auto set_policy = kernel32_function<SetPolicyCall>("SetProcessMitigationPolicy");
  if (set_policy == nullptr) return;
  // No image from a remote share or of low integrity, and system DLLs before any other.
  PROCESS_MITIGATION_IMAGE_LOAD_POLICY image_load = {};
  image_load.NoRemoteImages = 1;
  image_load.NoLowMandatoryLabelImages = 1;
  image_load.PreferSystem32Images = 1;
  set_policy(ProcessImageLoadPolicy, &image_load, sizeof image_load);
  // No legacy extension points (AppInit DLLs, window hooks and the like) injecting code.
  PROCESS_MITIGATION_EXTENSION_POINT_DISABLE_POLICY extension_points = {};
  extension_points.DisableExtensionPoints = 1;
  set_policy(ProcessExtensionPointDisablePolicy, &extension_points, sizeof extension_points);
}

#endif

}  // namespace

void harden_process() {
#ifdef _WIN32
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  SetUnhandledExceptionFilter(end_process_at_once);
#ifdef _MSC_VER
  // abort() neither reports to Windows Error Reporting nor shows a message box.
  _set_abort_behavior(0, _WRITE_ABORT_MSG | _CALL_REPORTFAULT);
#endif
  load_dlls_from_the_system_folder_alone();
  set_mitigation_policies();
#else
  const struct rlimit none = {0, 0};
  setrlimit(RLIMIT_CORE, &none);
#if defined(__linux__) && !defined(VELKOR_SANITIZED)
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#endif
#endif
}

void set_up_standard_streams() {
  // Each message reaches the caller whole and at once, even if the process dies after it.
  std::setvbuf(stderr, nullptr, _IONBF, 0);
  // The result goes out in whole chunks of the tool's own, and the exit status must say whether
  // all of it arrived: a buffer in between would drop the bytes it held when a write fails or
  // would block, without a trace.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  set_up_stream_buffers();
#ifdef _WIN32
  // Input from a pipe or a file is read byte for byte: in text mode a 0x1A byte would end it
  // early and a cut-short secret would be sealed. A console keeps text mode, so that a person
  // typing hex still ends it with Ctrl+Z.
  DWORD console_mode;
  if (!GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &console_mode)) {
    _setmode(_fileno(stdin), _O_BINARY);
  }
#else
  // A reader that closes its end early must not turn into a death by signal: the status stays
  // the tool's own. A write over the file-size limit fails with EFBIG rather than killing the
  // process, so it is reported like any other failed write.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
#endif
}
