// Wire timing of the paced device.
//
// On a pseudo-terminal bytes move as fast as the two ends write and read
// them. A paced device makes a run take what it would take on a real line
// at the rates the tool set, so that the tool's own share of a run can be
// measured against the line's:
//
// 1. A byte takes 10 bit times: 86.8 us at 115,200 baud. Receive and
//    transmit are separate wires, each carrying one byte after another.
// 2. A real port takes the tool's one-byte writes into its driver's buffer
//    and returns at once; its transmitter starts on the first byte and
//    sends the others back to back. A pseudo-terminal's writes return at
//    once too, so the tool's sends already cost it what they cost on a real
//    line: nothing but the calls. What the tool waits for is the reply,
//    and that is where the wire time goes: a byte the device reads at time
//    t has been heard in full one byte time after t, or after the end of
//    the byte before it if that is later.
// 3. The device acts on a byte as soon as it reads it (its record shows it
//    at once) but times whatever it sends in return from the moment the
//    byte has been heard: a reply is ready once the last byte of its
//    message has been heard, plus the write time of a program block, and
//    then each of its bytes goes out on its own once it has passed on the
//    transmit wire, behind whatever the device sent before.
//
// A run then lasts the wire time of every byte both ways, the write times
// and the tool's own waiting, as on a real line. The simulation adds only
// the moments the device thread takes to wake, a few microseconds a time.
#include "devsim/pacing.h"

#include <algorithm>

namespace devsim_internal {

namespace {

constexpr uint64_t kBitsPerByte = 10;
constexpr uint64_t kNanosecondsPerSecond = 1'000'000'000;

}  // namespace

DeviceClock::duration ByteTime(uint32_t baud) {
  if (baud == 0) return DeviceClock::duration::zero();
  return std::chrono::duration_cast<DeviceClock::duration>(
      std::chrono::nanoseconds(kBitsPerByte * kNanosecondsPerSecond / baud));
}

DeviceClock::time_point CarryByte(Wire* wire, uint32_t baud, DeviceClock::time_point start) {
  wire->freeAt = std::max(wire->freeAt, start) + ByteTime(baud);
  return wire->freeAt;
}

}  // namespace devsim_internal
