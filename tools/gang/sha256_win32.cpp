// SHA-256 through Windows' BCrypt: a hash object of the SHA-256 provider
// (BCryptHash alone would need Windows 10). Nothing of POSIX here.
#include <windows.h>
// After windows.h, which it needs.
#include <bcrypt.h>

#include <algorithm>

#include "tools/gang/sha256.h"

namespace {

// Hashes |bytes| with the open provider into |digest|.
bool HashWith(BCRYPT_ALG_HANDLE provider, std::span<const uint8_t> bytes, Sha256Digest* digest) {
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (!BCRYPT_SUCCESS(BCryptCreateHash(provider, &hash, nullptr,
                                       0,           // the provider keeps the hash object
                                       nullptr, 0,  // no key: a plain hash
                                       0))) {       // no flags
    return false;
  }
  bool done = true;
  // BCryptHashData takes a ULONG count of bytes per call.
  for (size_t offset = 0; done && offset < bytes.size();) {
    const ULONG chunk = static_cast<ULONG>(std::min<size_t>(bytes.size() - offset, 1u << 30));
    done =
        BCRYPT_SUCCESS(BCryptHashData(hash, const_cast<UCHAR*>(bytes.data() + offset), chunk, 0));
    offset += chunk;
  }
  done = done && BCRYPT_SUCCESS(
                     BCryptFinishHash(hash, digest->data(), static_cast<ULONG>(digest->size()), 0));
  BCryptDestroyHash(hash);
  return done;
}

}  // namespace

bool ComputeSha256(std::span<const uint8_t> bytes, Sha256Digest* digest) {
  BCRYPT_ALG_HANDLE provider = nullptr;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&provider, BCRYPT_SHA256_ALGORITHM,
                                                  nullptr,  // the system's implementation
                                                  0))) {    // no flags
    return false;
  }
  const bool hashed = HashWith(provider, bytes, digest);
  BCryptCloseAlgorithmProvider(provider, 0);
  return hashed;
}
