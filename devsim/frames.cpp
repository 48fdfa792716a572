// Receiving frames byte by byte, and building the replies the device sends.
#include "devsim/frames.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>

namespace devsim_internal {

namespace {

// Bytes appended after a reply by kTrailingBytes: a late sync answer, a
// filler and a start byte, none of which may disturb the reply before them.
constexpr uint8_t kTrailing[] = {kSyncAnswer, 0x00, kFrameStart};

struct FaultName {
  ReplyFault fault;
  const char* name;
};

constexpr FaultName kFaultNames[] = {
    {ReplyFault::kNone, "none"},
    {ReplyFault::kNoReply, "no-reply"},
    {ReplyFault::kRefuse, "refuse"},
    {ReplyFault::kThreeByteBody, "three-byte-body"},
    {ReplyFault::kWrongChecksum, "wrong-checksum"},
    {ReplyFault::kOneByteShort, "one-byte-short"},
    {ReplyFault::kSplitBurst, "split-burst"},
    {ReplyFault::kStrayLeadingByte, "stray-leading-byte"},
    {ReplyFault::kTrailingBytes, "trailing-bytes"},
    {ReplyFault::kWrongToken, "wrong-token"},
    {ReplyFault::kOtherSequence, "other-sequence"},
    {ReplyFault::kEmptyBody, "empty-body"},
    {ReplyFault::kCustomBody, "custom-body"},
    {ReplyFault::kVanish, "vanish"},
    {ReplyFault::kFlood, "flood"},
    {ReplyFault::kNoise, "noise"},
    {ReplyFault::kHugeSizeClaim, "huge-size-claim"},
    {ReplyFault::kStopReading, "stop-reading"},
    {ReplyFault::kReplyThenVanish, "reply-then-vanish"},
    {ReplyFault::kReplyThenHold, "reply-then-hold"},
    {ReplyFault::kVanishMidMessage, "vanish-mid-message"},
};

uint8_t Xor(std::span<const uint8_t> bytes) {
  uint8_t sum = 0;
  for (uint8_t byte : bytes) sum ^= byte;
  return sum;
}

}  // namespace

void ResetFrameParser(FrameParser* parser) {
  parser->stage = FrameStage::kIdle;
  parser->body.clear();
}

FrameEvent FeedFrameByte(FrameParser* parser, uint8_t byte, ReceivedFrame* frame) {
  FrameParser& p = *parser;
  switch (p.stage) {
    case FrameStage::kIdle:
      if (byte == kSyncProbe) return FrameEvent::kProbe;
      if (byte != kFrameStart) return FrameEvent::kStray;
      p.checksum = byte;
      p.body.clear();
      p.stage = FrameStage::kSequence;
      return FrameEvent::kTaken;
    case FrameStage::kSequence:
      p.sequence = byte;
      p.stage = FrameStage::kSizeHigh;
      break;
    case FrameStage::kSizeHigh:
      p.size = static_cast<uint16_t>(byte << 8);
      p.stage = FrameStage::kSizeLow;
      break;
    case FrameStage::kSizeLow:
      p.size = static_cast<uint16_t>(p.size | byte);
      // Longer than the receive buffer: no room to collect it, so the frame
      // is dropped here and the bytes after it are read as fresh input.
      if (p.size > kMaxFrameBody) {
        ResetFrameParser(parser);
        return FrameEvent::kCorrupt;
      }
      p.stage = FrameStage::kToken;
      break;
    case FrameStage::kToken:
      // A wrong token is judged with the checksum, at the end, so that the
      // body of a bad frame is not mistaken for probes or a new frame.
      p.token = byte;
      p.stage = p.size > 0 ? FrameStage::kBody : FrameStage::kChecksum;
      break;
    case FrameStage::kBody:
      p.body.push_back(byte);
      if (p.body.size() == p.size) p.stage = FrameStage::kChecksum;
      break;
    case FrameStage::kChecksum: {
      const bool good = byte == p.checksum && p.token == kFrameToken;
      if (good) {
        frame->sequence = p.sequence;
        frame->body = std::move(p.body);
      }
      ResetFrameParser(parser);
      return good ? FrameEvent::kComplete : FrameEvent::kCorrupt;
    }
  }
  p.checksum ^= byte;
  return FrameEvent::kTaken;
}

std::vector<uint8_t> BuildFrame(uint8_t sequence, uint8_t token, std::span<const uint8_t> body) {
  std::vector<uint8_t> frame(body.size() + 6);
  frame[0] = kFrameStart;
  frame[1] = sequence;
  frame[2] = static_cast<uint8_t>(body.size() >> 8);
  frame[3] = static_cast<uint8_t>(body.size() & 0xFF);
  frame[4] = token;
  std::copy(body.begin(), body.end(), frame.begin() + 5);
  frame.back() = Xor(std::span(frame).first(frame.size() - 1));
  return frame;
}

std::vector<uint8_t> NoiseBytes(uint32_t seed, uint32_t count) {
  // xorshift32: cheap, repeatable, and never stuck at zero for a seed != 0.
  uint32_t state = seed * 2654435761u + 1u;
  std::vector<uint8_t> noise(count);
  for (uint8_t& byte : noise) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    byte = static_cast<uint8_t>(state >> 24);
  }
  if (!noise.empty() && noise[0] == kFrameStart) noise[0] = ~kFrameStart;
  return noise;
}

namespace {

// The reply frame, whole, as |plan|'s fault has it.
std::vector<uint8_t> ShapedFrame(uint8_t sequence, std::span<const uint8_t> body,
                                 const ReplyPlan& plan) {
  std::vector<uint8_t> reply = BuildFrame(sequence, kFrameToken, body);
  switch (plan.fault) {
    case ReplyFault::kThreeByteBody: {
      // The reply body followed by a 0x00: would pass the acknowledgement
      // rule but for its length.
      std::vector<uint8_t> longer(body.begin(), body.end());
      longer.resize(3, 0x00);
      reply = BuildFrame(sequence, kFrameToken, longer);
      break;
    }
    case ReplyFault::kWrongChecksum:
      reply.back() ^= 0xFF;
      break;
    case ReplyFault::kOneByteShort:
      reply.pop_back();
      break;
    case ReplyFault::kStrayLeadingByte:
      reply.insert(reply.begin(), kSyncAnswer);
      break;
    case ReplyFault::kTrailingBytes:
      reply.insert(reply.end(), std::begin(kTrailing), std::end(kTrailing));
      break;
    case ReplyFault::kWrongToken:
      reply = BuildFrame(sequence, kFrameToken ^ 0x01, body);
      break;
    case ReplyFault::kOtherSequence:
      reply = BuildFrame(static_cast<uint8_t>(sequence + 0x80), kFrameToken, body);
      break;
    case ReplyFault::kEmptyBody:
      reply = BuildFrame(sequence, kFrameToken, {});
      break;
    case ReplyFault::kCustomBody:
      reply = BuildFrame(sequence, kFrameToken, plan.customBody);
      break;
    case ReplyFault::kNoise:
      reply = NoiseBytes(sequence, kToolReceiveSize);
      break;
    case ReplyFault::kHugeSizeClaim:
      // The body as it would be, then filler, as far as one receive goes;
      // the claimed 65,535 body bytes and the checksum never come.
      reply[2] = 0xFF;
      reply[3] = 0xFF;
      reply.pop_back();
      reply.resize(kToolReceiveSize, 0x00);
      break;
    case ReplyFault::kNone:
    case ReplyFault::kNoReply:     // shaped by ShapeReply
    case ReplyFault::kSplitBurst:  // cut by ShapeReply
    case ReplyFault::kRefuse:      // the body already says so
    case ReplyFault::kVanish:
    case ReplyFault::kFlood:
    case ReplyFault::kStopReading:
    case ReplyFault::kReplyThenVanish:
    case ReplyFault::kReplyThenHold:
    case ReplyFault::kVanishMidMessage:
      break;
  }
  return reply;
}

}  // namespace

std::vector<Burst> ShapeReply(uint8_t sequence, std::span<const uint8_t> body,
                              const ReplyPlan& plan) {
  if (plan.fault == ReplyFault::kNoReply) return {};
  std::vector<uint8_t> reply = ShapedFrame(sequence, body, plan);
  if (plan.fault == ReplyFault::kSplitBurst) {
    // Each half is useless on its own: the cut lies inside the reply.
    const uint32_t at =
        std::clamp<uint32_t>(plan.splitAt, 1, static_cast<uint32_t>(reply.size() - 1));
    const auto cut = reply.begin() + at;
    return {Burst{{reply.begin(), cut}, 0},
            Burst{{cut, reply.end()}, static_cast<int>(plan.splitGapMs)}};
  }
  return {Burst{std::move(reply), 0}};
}

const char* ReplyFaultName(ReplyFault fault) {
  for (const FaultName& entry : kFaultNames) {
    if (entry.fault == fault) return entry.name;
  }
  return "?";
}

bool ParseReplyFault(const char* name, ReplyFault* fault) {
  for (const FaultName& entry : kFaultNames) {
    if (std::strcmp(entry.name, name) == 0) {
      *fault = entry.fault;
      return true;
    }
  }
  return false;
}

}  // namespace devsim_internal
