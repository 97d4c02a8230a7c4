/* Imports crypt32 at load time, as most programs do: the control showing that a crypt32.dll
   planted beside an executable is really loaded where the import is looked for. */
#include <windows.h>
/* wincrypt.h needs the types of windows.h first. */
#include <wincrypt.h>

int main(void) {
  BYTE secret[2] = {0x00, 0x11};
  DATA_BLOB in = {sizeof secret, secret};
  DATA_BLOB out = {0, NULL};
  if (!CryptProtectData(&in, NULL, NULL, NULL, NULL, CRYPTPROTECT_UI_FORBIDDEN, &out)) return 1;
  LocalFree(out.pbData);
  return 0;
}
