/* A crypt32.dll as an attacker would plant it beside the tool: it tells on standard error that it
   was loaded (its code then runs in the process), and that a secret reached it, and how long. */
#include <stdio.h>
#define WIN32_LEAN_AND_MEAN /* no wincrypt.h: these are the definitions */
#include <windows.h>

typedef struct {
  DWORD cbData;
  BYTE *pbData;
} Blob;

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void *reserved) {
  (void)instance, (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) fputs("PLANTED crypt32 loaded\n", stderr);
  return TRUE;
}

static BOOL tell(const char *call, const Blob *in) {
  fprintf(stderr, "PLANTED crypt32 %s saw %lu secret bytes\n", call, (unsigned long)in->cbData);
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

__declspec(dllexport) BOOL WINAPI
    CryptProtectData(Blob *in, const WCHAR *description, Blob *entropy, void *reserved,
                     void *prompt, DWORD flags, Blob *out) {
  (void)description, (void)entropy, (void)reserved, (void)prompt, (void)flags, (void)out;
  return tell("CryptProtectData", in);
}

__declspec(dllexport) BOOL WINAPI
    CryptUnprotectData(Blob *in, WCHAR **description, Blob *entropy, void *reserved, void *prompt,
                       DWORD flags, Blob *out) {
  (void)description, (void)entropy, (void)reserved, (void)prompt, (void)flags, (void)out;
  return tell("CryptUnprotectData", in);
}
