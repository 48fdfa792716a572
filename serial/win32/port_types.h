// Windows port handle and line settings. Nothing of POSIX here.
#pragma once

#include <windows.h>

// An open serial port: a Win32 file handle.
using PortHandle = HANDLE;
inline const PortHandle kNoPort = INVALID_HANDLE_VALUE;

// The line settings that GetCommState reads and SetCommState applies.
struct LineState {
  DCB dcb{};
};

// The port as OpenSerial found it, for CloseSerial to put back.
struct SavedPortState {
  bool stateRead = false;  // |dcb| was read
  DCB dcb{};
  bool timeoutsRead = false;  // |timeouts| was read
  COMMTIMEOUTS timeouts{};
};
