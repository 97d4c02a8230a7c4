// Console events (Ctrl-C, Ctrl-Break, a closed console, logoff, shutdown) end the process at once,
// with the code Windows gives an interrupted program, STATUS_CONTROL_C_EXIT.
//
// Left to the runtime, an event runs the default handler on a thread of its own while the tool's
// thread goes on: the process may exit with status 0 and part of its line (Wine's default handler
// exits with 0), or never exit while the two threads wait on each other. TerminateProcess waits
// for nothing and runs nothing of the tool's on the way.
//
// The handler is set by a TLS callback of the executable, which the loader runs before the C
// runtime starts and long before main: an event that arrives while the runtime starts up finds it
// already in place.
#include <windows.h>

namespace {

constexpr UINT kControlCExit = 0xC000013A;  // STATUS_CONTROL_C_EXIT

BOOL WINAPI end_process_on_console_event(DWORD) {
  TerminateProcess(GetCurrentProcess(), kControlCExit);
  return TRUE;
}

void NTAPI set_console_event_handler(PVOID, DWORD reason, PVOID) {
  if (reason == DLL_PROCESS_ATTACH) SetConsoleCtrlHandler(end_process_on_console_event, TRUE);
}

}  // namespace

// The loader calls every pointer between the markers of sections .CRT$XLA and .CRT$XLZ, in the
// order of the sections' names.
#ifdef _MSC_VER
#pragma comment(linker, "/INCLUDE:_tls_used")
#pragma comment(linker, "/INCLUDE:console_event_tls_callback")
#pragma const_seg(".CRT$XLB")
extern "C" const PIMAGE_TLS_CALLBACK console_event_tls_callback = set_console_event_handler;
#pragma const_seg()
#else
extern "C" __attribute__((section(".CRT$XLB"), used))
const PIMAGE_TLS_CALLBACK console_event_tls_callback = set_console_event_handler;
#endif
