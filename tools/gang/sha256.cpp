// The SHA-256 as text, over the platform's digest.
#include "tools/gang/sha256.h"

std::string Sha256Hex(std::span<const uint8_t> bytes) {
  Sha256Digest digest{};
  if (!ComputeSha256(bytes, &digest)) return "";
  constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (uint8_t byte : digest) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0x0F];
  }
  return hex;
}
