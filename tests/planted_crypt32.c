/* A crypt32.dll as an attacker would plant it beside the tool: it tells on standard error that a
   secret reached it, and how many bytes long. */
#include <stdio.h>
#define WIN32_LEAN_AND_MEAN /* no wincrypt.h: these are the definitions */
#include <windows.h>

typedef struct {
  DWORD cbData;
  BYTE *pbData;
} Blob;

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
