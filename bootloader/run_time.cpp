// The time model of a programming run.
#include "bootloader/run_time.h"

#include <algorithm>
#include <chrono>

#include "bootloader/activation.h"
#include "bootloader/programming.h"
#include "common/message_frame.h"
#include "serial/serial_port.h"

namespace {

constexpr double kBitsPerByte = 10;  // start bit, 8 data bits, stop bit
constexpr uint32_t kReplyBody = 2;   // command code, status
constexpr uint32_t kSyncBytes = 1;   // the probe, and its answer

double Seconds(std::chrono::milliseconds time) {
  return std::chrono::duration<double>(time).count();
}

}  // namespace

RunTimeEstimate EstimateRunTime(uint32_t imageLength, uint32_t activationBaud, uint32_t writeTimeUs,
                                ReplyTiming timing) {
  RunTimeEstimate estimate;
  estimate.activationBaud = activationBaud;
  estimate.lineBaud = kBootloaderBaud;
  if (activationBaud > 0) {
    estimate.activationSeconds = kActivationLength * kBitsPerByte / activationBaud;
  }
  // 1. The sync, the erase and the reset, each a one-byte body.
  estimate.bytesOut = kSyncBytes + 2 * (kMessageOverhead + 1);
  estimate.bytesBack = kSyncBytes;
  estimate.replies = 1;
  // 2. The blocks: their data after the program header, in a frame.
  for (uint32_t offset = 0; offset < imageLength; offset += kBlockSize) {
    const uint32_t n = std::min(kBlockSize, imageLength - offset);
    estimate.bytesOut += kMessageOverhead + kBlockDataOffset + n;
    ++estimate.blocks;
    ++estimate.replies;
  }
  estimate.bytesBack += estimate.replies * (kMessageOverhead + kReplyBody);
  estimate.wireSeconds = (estimate.bytesOut + estimate.bytesBack) * kBitsPerByte / kBootloaderBaud;
  estimate.writeSeconds = estimate.blocks * (writeTimeUs / 1e6);
  // 3. The silence that ends each reply's read.
  estimate.replyEndEachSeconds =
      Seconds(timing == ReplyTiming::kStandard ? kInterByteTimeout : kQuietAfterFrame);
  estimate.replyEndSeconds = estimate.replies * estimate.replyEndEachSeconds;
  return estimate;
}
