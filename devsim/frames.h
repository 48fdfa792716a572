// The device's own side of the message frame: a parser fed one byte at a
// time, as the bootloader's receive loop sees them, and the shapes of the
// replies it sends, faults included. Written apart from the tool's framing
// code on purpose: the two must agree only through the wire.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "devsim/records.h"

namespace devsim_internal {

inline constexpr uint8_t kFrameStart = 0x1B;
inline constexpr uint8_t kFrameToken = 0x0E;
inline constexpr uint8_t kSyncProbe = '!';
inline constexpr uint8_t kSyncAnswer = '\r';

// The device's receive buffer: a frame that claims a longer body is dropped
// as soon as its size is known.
inline constexpr uint32_t kMaxFrameBody = 300;

// How many bytes the tool collects in one read; noise and a cut-off reply
// fill exactly that much.
inline constexpr uint32_t kToolReceiveSize = 285;

// Where the parser stands inside a frame.
enum class FrameStage { kIdle, kSequence, kSizeHigh, kSizeLow, kToken, kBody, kChecksum };

struct FrameParser {
  FrameStage stage = FrameStage::kIdle;
  uint8_t sequence = 0;
  uint8_t token = 0;
  uint16_t size = 0;
  uint8_t checksum = 0;  // running XOR of the frame's bytes so far
  std::vector<uint8_t> body;
};

// What one byte did to the parser.
enum class FrameEvent {
  kTaken,     // part of a frame that is not complete yet
  kProbe,     // a sync probe outside a frame
  kStray,     // outside a frame, neither probe nor start byte: dropped
  kComplete,  // the last byte of a well-formed frame
  kCorrupt,   // the frame ended or was cut short as malformed: dropped
};

// Feeds one received byte. On kComplete, |frame| holds the frame.
FrameEvent FeedFrameByte(FrameParser* parser, uint8_t byte, ReceivedFrame* frame);

// True while a frame has begun and not ended.
inline bool FrameInProgress(const FrameParser& parser) {
  return parser.stage != FrameStage::kIdle;
}

// Forgets a frame in progress (one that stayed incomplete too long).
void ResetFrameParser(FrameParser* parser);

// A whole frame: start, |sequence|, size, |token|, |body|, XOR checksum.
std::vector<uint8_t> BuildFrame(uint8_t sequence, uint8_t token, std::span<const uint8_t> body);

// One write of the device; |delayMs| after the previous burst of the reply.
struct Burst {
  std::vector<uint8_t> bytes;
  int delayMs = 0;
};

// The bursts that answer a message with |sequence| whose reply body would
// be |body|, shaped by |plan|. Empty for kNoReply. kVanish, kFlood,
// kStopReading, kReplyThenVanish, kReplyThenHold and kVanishMidMessage are
// behaviours of the device loop, not shapes: for them this returns the
// plain reply.
std::vector<Burst> ShapeReply(uint8_t sequence, std::span<const uint8_t> body,
                              const ReplyPlan& plan);

// |count| bytes of deterministic noise from |seed|; the first is never a
// start byte, so the bytes can't pass as a frame.
std::vector<uint8_t> NoiseBytes(uint32_t seed, uint32_t count);

// Reply faults by name, as the command line and the log spell them
// ("no-reply", "split-burst", ...).
const char* ReplyFaultName(ReplyFault fault);
bool ParseReplyFault(const char* name, ReplyFault* fault);

}  // namespace devsim_internal
