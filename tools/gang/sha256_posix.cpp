// SHA-256 through OpenSSL's libcrypto (its one-shot EVP digest). Nothing of
// Windows here.
#include <openssl/evp.h>

#include "tools/gang/sha256.h"

bool ComputeSha256(std::span<const uint8_t> bytes, Sha256Digest* digest) {
  unsigned int length = 0;
  return EVP_Digest(bytes.data(), bytes.size(), digest->data(), &length, EVP_sha256(),
                    nullptr) == 1 &&  // nullptr: the default implementation
         length == digest->size();
}
