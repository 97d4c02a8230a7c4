// crypt32's data-protection calls, loaded at run time from the system folder alone.
//
// crypt32 is not among the DLLs that Windows always takes from the system folder: as a load-time
// import it would be looked for beside the executable first, where a planted copy would be given
// every secret. Loaded here with the system folder as the only place to search, it cannot be.
#include "common/system_function.h"
#include "platform/dpapi.h"

namespace {

using ProtectCall = BOOL(WINAPI *)(DATA_BLOB *, LPCWSTR, DATA_BLOB *, PVOID,
                                   CRYPTPROTECT_PROMPTSTRUCT *, DWORD, DATA_BLOB *);
using UnprotectCall = BOOL(WINAPI *)(DATA_BLOB *, LPWSTR *, DATA_BLOB *, PVOID,
                                     CRYPTPROTECT_PROMPTSTRUCT *, DWORD, DATA_BLOB *);

struct Crypt32 {
  ProtectCall protect = nullptr;
  UnprotectCall unprotect = nullptr;
  DWORD load_error = 0;  // the loader's code when the calls could not be had
};

Crypt32 load_crypt32() {
  Crypt32 crypt32;
  const HMODULE module = LoadLibraryExW(L"crypt32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module != nullptr) {
    crypt32.protect = function_in<ProtectCall>(module, "CryptProtectData");
    crypt32.unprotect = function_in<UnprotectCall>(module, "CryptUnprotectData");
  }
  if (crypt32.protect == nullptr || crypt32.unprotect == nullptr) {
    crypt32.load_error = GetLastError();
    crypt32.protect = nullptr;
    crypt32.unprotect = nullptr;
  }
  return crypt32;
}

// Loaded once, at the first call; the module stays loaded until the process ends.
const Crypt32 &crypt32() {
  static const Crypt32 loaded = load_crypt32();
  return loaded;
}

}  // namespace

BOOL WINAPI CryptProtectData(DATA_BLOB *pDataIn, LPCWSTR szDataDescr, DATA_BLOB *pOptionalEntropy,
                             PVOID pvReserved, CRYPTPROTECT_PROMPTSTRUCT *pPromptStruct,
                             DWORD dwFlags, DATA_BLOB *pDataOut) {
  const Crypt32 &calls = crypt32();
  if (calls.protect == nullptr) {
    SetLastError(calls.load_error);
    return FALSE;
  }
  return calls.protect(pDataIn, szDataDescr, pOptionalEntropy, pvReserved, pPromptStruct, dwFlags,
                       pDataOut);
}

BOOL WINAPI CryptUnprotectData(DATA_BLOB *pDataIn, LPWSTR *ppszDataDescr,
                               DATA_BLOB *pOptionalEntropy, PVOID pvReserved,
                               CRYPTPROTECT_PROMPTSTRUCT *pPromptStruct, DWORD dwFlags,
                               DATA_BLOB *pDataOut) {
  const Crypt32 &calls = crypt32();
  if (calls.unprotect == nullptr) {
    SetLastError(calls.load_error);
    return FALSE;
  }
  return calls.unprotect(pDataIn, ppszDataDescr, pOptionalEntropy, pvReserved, pPromptStruct,
                         dwFlags, pDataOut);
}
