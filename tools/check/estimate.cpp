// The protocol's time model, counted from the frames a run puts on the
// wire. Provisional: the core library is to hold this model once, for the
// flashing benchmark and this check alike; until then it is counted here
// from the core's frame constants, the way the benchmark counts its bound.
#include "tools/check/estimate.h"

#include <algorithm>

#include "bootloader/message.h"
#include "bootloader/programming.h"

namespace {

constexpr double kLineBaud = 115200;
constexpr double kBitsPerByte = 10;                     // start bit, 8 data bits, stop bit
constexpr uint32_t kActivationBytes = 10;               // the activation string
constexpr uint32_t kReplyBytes = kMessageOverhead + 2;  // code and status
constexpr double kStandardQuietSeconds = 0.020;
constexpr double kFastQuietSeconds = 0.001;

}  // namespace

double EstimateRunSeconds(uint32_t imageLength, bool fastReplies) {
  // The probe and its answer; the erase, the reset; one message per block.
  uint32_t bytes = kActivationBytes + 1 + 1 + (kMessageOverhead + 1) * 2;
  uint32_t replies = 1;  // the erase's
  for (uint32_t offset = 0; offset < imageLength; offset += kBlockSize) {
    bytes += kMessageOverhead + kBlockDataOffset + std::min(kBlockSize, imageLength - offset);
    ++replies;
  }
  bytes += replies * kReplyBytes;
  const double quiet = fastReplies ? kFastQuietSeconds : kStandardQuietSeconds;
  return bytes * kBitsPerByte / kLineBaud + replies * quiet;
}
