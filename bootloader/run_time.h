// How long a programming run takes on the line, at the least: the wire time
// of every byte both ways, the device's write time of every block, and the
// silence after each reply that tells korvel the reply is over. The model
// the flashing benchmark measures korvel against, and what a caller can
// estimate a run's time with.
#pragma once

#include <cstdint>

#include "common/run_state.h"

struct RunTimeEstimate {
  uint32_t activationBaud = 0;
  uint32_t lineBaud = 0;   // the bootloader's: every byte after the activation string
  uint32_t bytesOut = 0;   // at the line rate: the sync probe and every message
  uint32_t bytesBack = 0;  // the sync answer and every reply
  uint32_t blocks = 0;
  uint32_t replies = 0;            // the erase's and one per block
  double activationSeconds = 0;    // the activation string at the activation baud
  double wireSeconds = 0;          // bytesOut and bytesBack at the line rate
  double writeSeconds = 0;         // the device programming each block
  double replyEndSeconds = 0;      // the silence after each reply
  double replyEndEachSeconds = 0;  // 20 ms, or 1 ms with fast replies

  double TotalSeconds() const {
    return activationSeconds + wireSeconds + writeSeconds + replyEndSeconds;
  }
};

// The least time a run that programs an image of |imageLength| bytes (1 to
// 65,535) takes with |timing|: the 10-byte
// activation string at |activationBaud|, one sync probe answered at once,
// then at 115,200 baud the erase, one program message per block of at most
// 64 bytes and the reset; a 2-byte reply to the erase and to each block,
// each block's after the device's |writeTimeUs|; and after each reply the
// silence that ends its read: 20 ms with the standard timing, 1 ms with
// fast replies. Bytes take 10 bit times (start, 8 data, stop). What the
// tool and the system add (system calls, wake-ups, a USB adapter's latency
// timer) is not in it.
RunTimeEstimate EstimateRunTime(uint32_t imageLength, uint32_t activationBaud, uint32_t writeTimeUs,
                                ReplyTiming timing);
