// Erase, program and reset over the message frame.
#include "bootloader/programming.h"

#include <algorithm>
#include <array>

#include "bootloader/message.h"
#include "common/progress.h"
#include "common/report.h"

namespace {

constexpr uint32_t kEraseBudgetMs = 1000;
constexpr uint32_t kBlockBudgetMs = 5000;

// The largest message the tool sends: a full program block.
constexpr uint32_t kMaxMessageSize = kMessageOverhead + kBlockDataOffset + kBlockSize;

// Frames the |bodySize| body bytes already at offset 5 of |message|, sends
// the message and judges the reply against |code|. Returns false after its
// report when the message did not go out or no valid reply came; else true
// with the verdict in |acknowledged|.
bool Exchange(PortHandle port, std::span<uint8_t> message, uint16_t bodySize, uint32_t budgetMs,
              uint8_t code, bool* acknowledged) {
  const uint32_t length = BuildMessage(message, bodySize);
  // Late bytes of the previous reply go now, before this message: the
  // device's answer to it can't have started yet. The erase, the first
  // message, follows no reply read.
  DropReplyTail(port);
  uint32_t sent = 0;
  if (!MyWriteFile(port, message.first(length), &sent) || sent != length) {
    ReportFailure("MyWriteFile");
    return false;
  }
  std::array<uint8_t, kMaxReplyBody> reply{};
  uint32_t replySize = 0;
  if (!GetMessageAnswer(port, budgetMs, reply, &replySize)) {
    ReportFailure("GetMessageAnswer");
    return false;
  }
  *acknowledged = IsAcknowledgement(std::span<const uint8_t>(reply).first(replySize), code);
  return true;
}

}  // namespace

bool IsAcknowledgement(std::span<const uint8_t> body, uint8_t code) {
  return body.size() == 2 && (body[0] == code || body[1] == 0x00);
}

int FlashImage(PortHandle port, const ImageBuffer& image, bool firmware) {
  // 1. Erase.
  const uint32_t totalBlocks = (image.length + kBlockSize - 1) / kBlockSize;
  ProgressBegin(totalBlocks, image.length);
  ProgressEndGuard endProgress;  // on every way out of the programming
  std::array<uint8_t, kMaxMessageSize> message{};
  message[kMessageHeaderSize] = kCommandChipErase;
  bool acknowledged = false;
  if (!Exchange(port, message, 1, kEraseBudgetMs, kCommandChipErase, &acknowledged)) return 0;
  if (!acknowledged) {
    ReportFailure("Chip erase failed");
    return 0;
  }
  // Erased: a program that follows the run on the progress channel learns
  // here that the blocks begin ("block 0/N").
  ProgressUpdate(0, 0);

  // 2. Program, block after block in image order; the bootloader places
  // each block right after the previous one, so no address is sent.
  const uint8_t code = firmware ? kCommandProgramFlash : kCommandProgramEeprom;
  for (uint32_t offset = 0; offset < image.length;) {
    const uint32_t n = std::min(kBlockSize, image.length - offset);
    // Body: code, n high byte first, seven bytes the bootloader does not act
    // on (zeros, never stale memory), then the data.
    std::span<uint8_t> body = std::span<uint8_t>(message).subspan(kMessageHeaderSize);
    std::fill(body.begin(), body.begin() + kBlockDataOffset, uint8_t{0});
    body[0] = code;
    body[1] = static_cast<uint8_t>(n >> 8);
    body[2] = static_cast<uint8_t>(n);
    std::copy_n(image.bytes + offset, n, body.begin() + kBlockDataOffset);

    if (!Exchange(port, message, static_cast<uint16_t>(n + kBlockDataOffset), kBlockBudgetMs, code,
                  &acknowledged)) {
      return 0;
    }
    if (!acknowledged) {
      ReportFailure(firmware ? "Programming the flash failed" : "Programming the eeprom failed");
      return 0;
    }
    offset += n;
    ProgressUpdate((offset + kBlockSize - 1) / kBlockSize, offset);
  }
  return 1;
}

int ResetBootloader(PortHandle port) {
  std::array<uint8_t, kMessageOverhead + 1> message{};
  message[kMessageHeaderSize] = kCommandReset;
  const uint32_t length = BuildMessage(message, 1);
  DropReplyTail(port);  // late bytes of the last block's reply
  uint32_t sent = 0;
  if (!MyWriteFile(port, std::span<const uint8_t>(message).first(length), &sent) ||
      sent != length) {
    ReportFailure("MyWriteFile");
    return 0;
  }
  return 1;
}
