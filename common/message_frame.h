// The message frame both sides of the link use: start 0x1B, sequence
// number, 16-bit body size (high byte first), token 0x0E, body, XOR
// checksum of everything before it. Here, below the serial layer, because
// two layers judge received frames by the same rule: the reply read that
// ends on a whole frame (fast replies, serial/transfer.cpp) and the reply
// check itself (GetMessageAnswer, bootloader/message.cpp).
#pragma once

#include <cstdint>
#include <span>

inline constexpr uint8_t kMessageStart = 0x1B;
inline constexpr uint8_t kMessageToken = 0x0E;
// Start, sequence, two size bytes and token before the body; checksum after.
inline constexpr uint32_t kMessageHeaderSize = 5;
inline constexpr uint32_t kMessageOverhead = 6;

// The XOR of |bytes|: a frame's checksum over everything before it.
uint8_t MessageChecksum(std::span<const uint8_t> bytes);

// Checks one received burst: 1 when it begins with a whole, well-formed
// message, with |body| pointing at its body inside |burst|; else 0. The
// sequence number and token are not examined; bytes after the message are
// ignored.
int ParseMessage(std::span<const uint8_t> burst, std::span<const uint8_t>* body);
