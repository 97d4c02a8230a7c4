// Functions of a system DLL looked up at run time: those an older Windows lacks, and those of a
// DLL the tool loads itself.
#pragma once

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

// `name` in `module` as a `Function`, or null.
template <typename Function>
Function function_in(HMODULE module, const char *name) {
  if (module == nullptr) return nullptr;
  // Through void (*)(), the one function type that converts to any other without a warning.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// `name` in kernel32, always loaded, or null where this Windows lacks it.
template <typename Function>
Function kernel32_function(const char *name) {
  return function_in<Function>(GetModuleHandleW(L"kernel32.dll"), name);
}

#endif
