// POSIX port handle and line settings. Nothing of Windows here.
#pragma once

#include <termios.h>

#include <cstdint>

// An open serial port: a file descriptor.
using PortHandle = int;
inline constexpr PortHandle kNoPort = -1;

// The line settings that GetCommState reads and SetCommState applies.
struct LineState {
  termios tio{};
  uint32_t baud = 0;  // bits per second, applied apart from |tio|
};
