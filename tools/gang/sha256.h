// SHA-256 from the platform's own crypto library: OpenSSL's libcrypto on
// POSIX (sha256_posix.cpp), BCrypt on Windows (sha256_win32.cpp); the text
// form once, in sha256.cpp.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

using Sha256Digest = std::array<uint8_t, 32>;

// The SHA-256 of |bytes| into |digest|. False when the library can't give
// it.
bool ComputeSha256(std::span<const uint8_t> bytes, Sha256Digest* digest);

// The SHA-256 of |bytes| as 64 small hexadecimal letters; "" when the
// library can't give it.
std::string Sha256Hex(std::span<const uint8_t> bytes);
