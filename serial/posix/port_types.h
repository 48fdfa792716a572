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

// The port as OpenSerial found it, for CloseSerial to put back.
struct SavedPortState {
  bool lineRead = false;  // |tio| and the rates below were read
  termios tio{};
  uint32_t inputBaud = 0;   // the rates as numbers: a rate outside the
  uint32_t outputBaud = 0;  // standard codes is not in |tio|
  // The serial driver's low-latency flag: 1 or 0, -1 for a driver without
  // one (a pseudo-terminal).
  int lowLatency = -1;
};
