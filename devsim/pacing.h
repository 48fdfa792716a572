// Wire timing of the paced device: how long bytes take on a real line.
// See pacing.cpp for the model.
#pragma once

#include <chrono>
#include <cstdint>

namespace devsim_internal {

using DeviceClock = std::chrono::steady_clock;

// One direction of the line: the moment it is next free.
struct Wire {
  DeviceClock::time_point freeAt{};
};

// The time one byte takes on the line at |baud|: 10 bits (start bit, 8
// data bits, stop bit), 86.8 us at 115,200. Zero for an unknown rate (0).
DeviceClock::duration ByteTime(uint32_t baud);

// Puts one byte on |wire| at |baud| that can start no earlier than |start|:
// it starts there or once the byte before it has passed, whichever is later.
// Returns the moment its last bit has passed.
DeviceClock::time_point CarryByte(Wire* wire, uint32_t baud, DeviceClock::time_point start);

}  // namespace devsim_internal
