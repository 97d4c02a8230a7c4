// The four data-protection operations, in the platform's own shape.
//
// The records and crypt32's two calls are declared here on every platform, so the code that
// calls them reads the same everywhere. On Windows the calls reach crypt32 loaded from the system
// folder at run time (windows_dpapi.cpp), and GetLastError and LocalFree are kernel32's own.
// Elsewhere a stand-in defines all four.
#pragma once

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// crypt32's own declarations would make its calls imports that the loader resolves at start-up,
// from the executable's folder first.
#ifndef NOCRYPT
#define NOCRYPT
#endif
#include <windows.h>
#ifdef __WINCRYPT_H__
#error "wincrypt.h makes crypt32 a load-time import: include platform/dpapi.h alone"
#endif

#define PLATFORM_API WINAPI
// Spells a UTF-16 literal as the platform's wide text.
#define PLATFORM_WIDE(text) L##text

#else

#include <cstdint>

typedef std::uint32_t DWORD;
typedef int BOOL;
typedef unsigned char BYTE;
typedef char16_t WCHAR;
typedef const WCHAR *LPCWSTR;
typedef WCHAR *LPWSTR;
typedef void *PVOID;
typedef void *HLOCAL;

#define PLATFORM_API
#define PLATFORM_WIDE(text) u##text

// The last-error codes the stand-in sets, with the values and meanings they have on Windows.
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;        // no profile folder to keep the key in
constexpr DWORD ERROR_ACCESS_DENIED = 5;         // the key file or its folder is unsafe or unusable
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;     // memory ran out
constexpr DWORD ERROR_INVALID_DATA = 13;         // the blob does not open
constexpr DWORD ERROR_INVALID_PARAMETER = 87;    // a null, malformed or unsupported argument
constexpr DWORD ERROR_INTERNAL_ERROR = 1359;     // the cryptography library could not start
constexpr DWORD NTE_BAD_KEY_STATE = 0x8009000B;  // an unseal found no key

DWORD GetLastError();
HLOCAL LocalFree(HLOCAL hMem);

#endif

// crypt32's byte-buffer record.
struct DATA_BLOB {
  DWORD cbData;
  BYTE *pbData;
};

// Never filled in by this tool: only a null pointer is ever passed.
struct CRYPTPROTECT_PROMPTSTRUCT;

constexpr DWORD CRYPTPROTECT_UI_FORBIDDEN = 0x1;

BOOL PLATFORM_API CryptProtectData(DATA_BLOB *pDataIn, LPCWSTR szDataDescr,
                                   DATA_BLOB *pOptionalEntropy, PVOID pvReserved,
                                   CRYPTPROTECT_PROMPTSTRUCT *pPromptStruct, DWORD dwFlags,
                                   DATA_BLOB *pDataOut);
BOOL PLATFORM_API CryptUnprotectData(DATA_BLOB *pDataIn, LPWSTR *ppszDataDescr,
                                     DATA_BLOB *pOptionalEntropy, PVOID pvReserved,
                                     CRYPTPROTECT_PROMPTSTRUCT *pPromptStruct, DWORD dwFlags,
                                     DATA_BLOB *pDataOut);
