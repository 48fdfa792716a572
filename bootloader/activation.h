// Waking the device's bootloader.
#pragma once

#include <cstdint>

#include "serial/serial_port.h"

// The bootloader's line rate, and the length of the activation string the
// running firmware takes at the activation baud.
inline constexpr uint32_t kBootloaderBaud = 115200;
inline constexpr uint32_t kActivationLength = 10;

// Sends the activation string at the port's current (activation) baud,
// switches the line to 115,200 baud and offers the sync probe up to 30 times
// until the bootloader answers with a carriage return. Returns 1 when it
// answered, else 0 (after a report for a failing step; none when the probes
// simply went unanswered).
int ActivateBootloader(PortHandle port);
