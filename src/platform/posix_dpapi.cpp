// The POSIX stand-in for the platform's data protection: XChaCha20-Poly1305 under a per-user key.
//
// Blob layout (all of it opaque to callers, like a DPAPI blob):
//   offset 0       4 bytes   marker "VKDP"
//   offset 4       1 byte    format version, 1
//   offset 5       4 bytes   description length n in bytes, little-endian
//   offset 9       n bytes   description, UTF-16LE without its terminating zero
//   offset 9+n     24 bytes  nonce, fresh and random for every seal
//   offset 33+n    the sealed bytes, then the 16-byte authentication tag
// The associated data is the header (offsets 0 to 33+n) followed by the optional entropy, so a
// changed header, a wrong entropy or another user's key all fail to open. The entropy itself is
// not stored.
#include <sodium.h>

#include <cstdlib>
#include <cstring>

#include "platform/dpapi.h"
#include "platform/master_key.h"

namespace {

const unsigned char kMarker[4] = {'V', 'K', 'D', 'P'};
constexpr unsigned char kVersion = 1;
constexpr std::size_t kNonceBytes = crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;
constexpr std::size_t kTagBytes = crypto_aead_xchacha20poly1305_ietf_ABYTES;
constexpr std::size_t kFixedHeaderBytes = sizeof kMarker + 1 + 4;
constexpr std::size_t kMaxDescriptionUnits = 32767;
constexpr std::size_t kMaxBlobBytes = 0xFFFFFFFF;

DWORD last_error = 0;

BOOL fail(DWORD code) {
  last_error = code;
  return 0;
}

// The key for one call, wiped when the call ends.
struct CallKey {
  unsigned char bytes[kMasterKeyBytes];
  ~CallKey() { sodium_memzero(bytes, sizeof bytes); }
};

// Header plus entropy: what the tag covers besides the sealed bytes.
struct AssociatedData {
  unsigned char *bytes = nullptr;
  std::size_t length = 0;
  ~AssociatedData() {
    if (bytes != nullptr) sodium_memzero(bytes, length);
    std::free(bytes);
  }
  bool assemble(const unsigned char *header, std::size_t header_length, const DATA_BLOB *entropy) {
    const std::size_t entropy_length = entropy != nullptr ? entropy->cbData : 0;
    length = header_length + entropy_length;
    bytes = static_cast<unsigned char *>(std::malloc(length));
    if (bytes == nullptr) return false;
    std::memcpy(bytes, header, header_length);
    if (entropy_length != 0) std::memcpy(bytes + header_length, entropy->pbData, entropy_length);
    return true;
  }
};

bool valid_blob_argument(const DATA_BLOB *blob) {
  return blob != nullptr && (blob->cbData == 0 || blob->pbData != nullptr);
}

// The arguments every call shares; the stand-in never shows a user interface, so it takes none.
bool valid_common_arguments(const DATA_BLOB *in, const DATA_BLOB *entropy, PVOID reserved,
                            const CRYPTPROTECT_PROMPTSTRUCT *prompt, DWORD flags,
                            const DATA_BLOB *out) {
  return valid_blob_argument(in) && (entropy == nullptr || valid_blob_argument(entropy)) &&
         reserved == nullptr && prompt == nullptr && (flags & ~CRYPTPROTECT_UI_FORBIDDEN) == 0 &&
         out != nullptr;
}

void put_le32(unsigned char *at, std::size_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

std::size_t get_le32(const unsigned char *at) {
  std::size_t value = 0;
  for (int i = 0; i < 4; ++i) value |= static_cast<std::size_t>(at[i]) << (8 * i);
  return value;
}

}  // namespace

BOOL CryptProtectData(DATA_BLOB *pDataIn, LPCWSTR szDataDescr, DATA_BLOB *pOptionalEntropy,
                      PVOID pvReserved, CRYPTPROTECT_PROMPTSTRUCT *pPromptStruct, DWORD dwFlags,
                      DATA_BLOB *pDataOut) {
  if (!valid_common_arguments(pDataIn, pOptionalEntropy, pvReserved, pPromptStruct, dwFlags,
                              pDataOut)) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  std::size_t description_units = 0;
  while (szDataDescr != nullptr && szDataDescr[description_units] != 0) {
    if (++description_units > kMaxDescriptionUnits) return fail(ERROR_INVALID_PARAMETER);
  }
  const std::size_t header_length = kFixedHeaderBytes + 2 * description_units + kNonceBytes;
  if (pDataIn->cbData > kMaxBlobBytes - header_length - kTagBytes) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  if (sodium_init() < 0) return fail(ERROR_INTERNAL_ERROR);

  CallKey key;
  if (const DWORD error = load_master_key(true, key.bytes)) return fail(error);

  const std::size_t blob_length = header_length + pDataIn->cbData + kTagBytes;
  auto *blob = static_cast<unsigned char *>(std::malloc(blob_length));
  if (blob == nullptr) return fail(ERROR_NOT_ENOUGH_MEMORY);

  std::memcpy(blob, kMarker, sizeof kMarker);
  blob[sizeof kMarker] = kVersion;
  put_le32(blob + sizeof kMarker + 1, 2 * description_units);
  unsigned char *at = blob + kFixedHeaderBytes;
  for (std::size_t i = 0; i < description_units; ++i) {
    *at++ = static_cast<unsigned char>(szDataDescr[i] & 0xFF);
    *at++ = static_cast<unsigned char>(szDataDescr[i] >> 8);
  }
  randombytes_buf(at, kNonceBytes);

  AssociatedData associated;
  if (!associated.assemble(blob, header_length, pOptionalEntropy)) {
    std::free(blob);
    return fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  crypto_aead_xchacha20poly1305_ietf_encrypt(blob + header_length, nullptr, pDataIn->pbData,
                                             pDataIn->cbData, associated.bytes, associated.length,
                                             nullptr, at, key.bytes);
  pDataOut->cbData = static_cast<DWORD>(blob_length);
  pDataOut->pbData = blob;
  return 1;
}

BOOL CryptUnprotectData(DATA_BLOB *pDataIn, LPWSTR *ppszDataDescr, DATA_BLOB *pOptionalEntropy,
                        PVOID pvReserved, CRYPTPROTECT_PROMPTSTRUCT *pPromptStruct, DWORD dwFlags,
                        DATA_BLOB *pDataOut) {
  if (!valid_common_arguments(pDataIn, pOptionalEntropy, pvReserved, pPromptStruct, dwFlags,
                              pDataOut)) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  // The format is checked before the key is looked for: a foreign blob is invalid data anywhere.
  const unsigned char *blob = pDataIn->pbData;
  const std::size_t blob_length = pDataIn->cbData;
  constexpr std::size_t kEmptyBlobBytes = kFixedHeaderBytes + kNonceBytes + kTagBytes;
  if (blob_length < kEmptyBlobBytes || std::memcmp(blob, kMarker, sizeof kMarker) != 0 ||
      blob[sizeof kMarker] != kVersion) {
    return fail(ERROR_INVALID_DATA);
  }
  const std::size_t description_length = get_le32(blob + sizeof kMarker + 1);
  if (description_length % 2 != 0 || description_length > blob_length - kEmptyBlobBytes) {
    return fail(ERROR_INVALID_DATA);
  }
  const std::size_t header_length = kFixedHeaderBytes + description_length + kNonceBytes;
  const std::size_t plain_length = blob_length - header_length - kTagBytes;
  if (sodium_init() < 0) return fail(ERROR_INTERNAL_ERROR);

  CallKey key;
  if (const DWORD error = load_master_key(false, key.bytes)) return fail(error);

  AssociatedData associated;
  auto *plain = static_cast<unsigned char *>(std::malloc(plain_length + 1));
  WCHAR *description = nullptr;
  if (ppszDataDescr != nullptr) {
    description = static_cast<WCHAR *>(std::malloc((description_length / 2 + 1) * sizeof(WCHAR)));
  }
  if (plain == nullptr || (ppszDataDescr != nullptr && description == nullptr) ||
      !associated.assemble(blob, header_length, pOptionalEntropy)) {
    std::free(plain);
    std::free(description);
    return fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  if (crypto_aead_xchacha20poly1305_ietf_decrypt(
          plain, nullptr, nullptr, blob + header_length, plain_length + kTagBytes, associated.bytes,
          associated.length, blob + header_length - kNonceBytes, key.bytes) != 0) {
    std::free(plain);
    std::free(description);
    return fail(ERROR_INVALID_DATA);
  }
  if (description != nullptr) {
    const unsigned char *stored = blob + kFixedHeaderBytes;
    for (std::size_t i = 0; i < description_length / 2; ++i) {
      description[i] = static_cast<WCHAR>(stored[2 * i] | (stored[2 * i + 1] << 8));
    }
    description[description_length / 2] = 0;
    *ppszDataDescr = description;
  }
  pDataOut->cbData = static_cast<DWORD>(plain_length);
  pDataOut->pbData = plain;
  return 1;
}

DWORD GetLastError() { return last_error; }

HLOCAL LocalFree(HLOCAL hMem) {
  std::free(hMem);
  return nullptr;
}
