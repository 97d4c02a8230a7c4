// The four data-protection operations, in the platform's own shape.
//
// On Windows they are crypt32's and kernel32's. Elsewhere the same names and records are declared
// here and a stand-in defines them, so the code that calls them reads the same everywhere.
#pragma once

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// wincrypt.h needs the types of windows.h first.
#include <wincrypt.h>

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

#define PLATFORM_WIDE(text) u##text

struct DATA_BLOB {
  DWORD cbData;
  BYTE *pbData;
};

// Never filled in by this tool: only a null pointer is ever passed.
struct CRYPTPROTECT_PROMPTSTRUCT;

constexpr DWORD CRYPTPROTECT_UI_FORBIDDEN = 0x1;

// The last-error codes the stand-in sets, with the values and meanings they have on Windows.
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;        // no profile folder to keep the key in
constexpr DWORD ERROR_ACCESS_DENIED = 5;         // the key file or its folder is unsafe or unusable
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;     // memory ran out
constexpr DWORD ERROR_INVALID_DATA = 13;         // the blob does not open
constexpr DWORD ERROR_INVALID_PARAMETER = 87;    // a null, malformed or unsupported argument
constexpr DWORD ERROR_INTERNAL_ERROR = 1359;     // the cryptography library could not start
constexpr DWORD NTE_BAD_KEY_STATE = 0x8009000B;  // an unseal found no key

BOOL CryptProtectData(DATA_BLOB *pDataIn, LPCWSTR szDataDescr, DATA_BLOB *pOptionalEntropy,
                      PVOID pvReserved, CRYPTPROTECT_PROMPTSTRUCT *pPromptStruct, DWORD dwFlags,
                      DATA_BLOB *pDataOut);
BOOL CryptUnprotectData(DATA_BLOB *pDataIn, LPWSTR *ppszDataDescr, DATA_BLOB *pOptionalEntropy,
                        PVOID pvReserved, CRYPTPROTECT_PROMPTSTRUCT *pPromptStruct, DWORD dwFlags,
                        DATA_BLOB *pDataOut);
DWORD GetLastError();
HLOCAL LocalFree(HLOCAL hMem);

#endif
