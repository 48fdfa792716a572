// Checking a received frame.
#include "common/message_frame.h"

uint8_t MessageChecksum(std::span<const uint8_t> bytes) {
  uint8_t sum = 0;
  for (uint8_t byte : bytes) sum ^= byte;
  return sum;
}

int ParseMessage(std::span<const uint8_t> burst, std::span<const uint8_t>* body) {
  if (burst.size() < kMessageOverhead) return 0;
  // No search for the start byte: a burst that begins with anything else,
  // such as a late answer to a sync probe, is not a reply.
  if (burst[0] != kMessageStart) return 0;
  const uint32_t size = static_cast<uint32_t>(burst[2]) * 256u + burst[3];
  if (burst.size() < size + kMessageOverhead) return 0;
  const uint32_t checksumOffset = kMessageHeaderSize + size;
  if (MessageChecksum(burst.first(checksumOffset)) != burst[checksumOffset]) return 0;
  *body = burst.subspan(kMessageHeaderSize, size);
  return 1;
}
