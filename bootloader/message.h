// Framed messages to the bootloader and its replies, over the frame of
// common/message_frame.h.
#pragma once

#include <cstdint>
#include <span>

#include "common/message_frame.h"
#include "serial/serial_port.h"

// The largest reply body that fits in one receive.
inline constexpr uint32_t kMaxReplyBody = kReceiveSize - kMessageOverhead;

// Frames the body that lies at offset 5 of |message| (bodySize bytes, at
// most 255): writes start, sequence number, size, token and checksum around
// it. The sequence number is run.sequenceNumber, which then advances: 1 for
// the first message of a run, wrapping from 255 to 0. Returns the message
// length, bodySize + 6. |message| must hold that many bytes.
uint32_t BuildMessage(std::span<uint8_t> message, uint16_t bodySize);

// Receives one reply within |budgetMs| and copies its body to |destination|
// (at least kMaxReplyBody bytes). Returns 1 with |bodySize| set; else 0 with
// |bodySize| 0: after the report "MyReadFile" when nothing arrived or the
// read failed, silently when the reply was short, unframed or corrupt.
// Reads with the run's reply timing (run.replyTiming).
int GetMessageAnswer(PortHandle port, uint32_t budgetMs, std::span<uint8_t> destination,
                     uint32_t* bodySize);
