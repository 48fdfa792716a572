// Building outgoing messages and checking replies.
#include "bootloader/message.h"

#include <algorithm>
#include <array>

#include "common/report.h"
#include "common/run_state.h"

uint32_t BuildMessage(std::span<uint8_t> message, uint16_t bodySize) {
  message[0] = kMessageStart;
  message[1] = run.sequenceNumber++;  // wraps from 255 to 0
  message[2] = 0x00;                  // the tool's bodies are never longer than 255
  message[3] = static_cast<uint8_t>(bodySize);
  message[4] = kMessageToken;
  const uint32_t checksumOffset = kMessageHeaderSize + bodySize;
  message[checksumOffset] = MessageChecksum(message.first(checksumOffset));
  return bodySize + kMessageOverhead;
}

int GetMessageAnswer(PortHandle port, uint32_t budgetMs, std::span<uint8_t> destination,
                     uint32_t* bodySize) {
  *bodySize = 0;
  std::array<uint8_t, kReceiveSize> burst{};
  uint32_t received = 0;
  if (!MyReadFile(port, burst, budgetMs, run.replyTiming, &received)) {
    ReportFailure("MyReadFile");
    return 0;
  }
  std::span<const uint8_t> body;
  if (!ParseMessage(std::span<const uint8_t>(burst).first(received), &body)) return 0;
  // A body always fits: it lies inside one receive. The bound keeps the copy
  // inside |destination| even for a caller that passes less.
  if (body.size() > destination.size()) return 0;
  std::copy(body.begin(), body.end(), destination.begin());
  *bodySize = static_cast<uint32_t>(body.size());
  return 1;
}
