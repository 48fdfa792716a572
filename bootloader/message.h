// The message frame: start 0x1B, sequence number, 16-bit body size (high
// byte first), token 0x0E, body, XOR checksum of everything before it.
#pragma once

#include <cstdint>
#include <span>

#include "serial/serial_port.h"

inline constexpr uint8_t kMessageStart = 0x1B;
inline constexpr uint8_t kMessageToken = 0x0E;
// Start, sequence, two size bytes and token before the body; checksum after.
inline constexpr uint32_t kMessageHeaderSize = 5;
inline constexpr uint32_t kMessageOverhead = 6;
// The largest reply body that fits in one receive.
inline constexpr uint32_t kMaxReplyBody = kReceiveSize - kMessageOverhead;

// Frames the body that lies at offset 5 of |message| (bodySize bytes, at
// most 255): writes start, sequence number, size, token and checksum around
// it. The sequence number is run.sequenceNumber, which then advances: 1 for
// the first message of a run, wrapping from 255 to 0. Returns the message
// length, bodySize + 6. |message| must hold that many bytes.
uint32_t BuildMessage(std::span<uint8_t> message, uint16_t bodySize);

// Checks one received burst: 1 when it begins with a whole, well-formed
// message, with |body| pointing at its body inside |burst|; else 0. The
// sequence number and token are not examined; bytes after the message are
// ignored.
int ParseMessage(std::span<const uint8_t> burst, std::span<const uint8_t>* body);

// Receives one reply within |budgetMs| and copies its body to |destination|
// (at least kMaxReplyBody bytes). Returns 1 with |bodySize| set; else 0 with
// |bodySize| 0: after the report "MyReadFile" when nothing arrived or the
// read failed, silently when the reply was short, unframed or corrupt.
int GetMessageAnswer(PortHandle port, uint32_t budgetMs, std::span<uint8_t> destination,
                     uint32_t* bodySize);
