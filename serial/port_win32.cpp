// Windows serial ports (the Win32 communications functions). Nothing of
// POSIX here.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/system.h"
#include "serial/local_port.h"
#include "serial/serial_port.h"

namespace {

// "\\.\" plus the port name must fit this buffer with its NUL: names of up
// to 27 characters.
constexpr size_t kDevicePathSize = 32;
constexpr size_t kLongestPortName = kDevicePathSize - sizeof("\\\\.\\");

// The receive rule as the port driver applies it: a read returns when its
// buffer is full, when more than 20 ms pass between two bytes, or 150 ms
// after it began, possibly with nothing. Writes have no timeout.
constexpr COMMTIMEOUTS kTimeouts = {
    static_cast<DWORD>(kInterByteTimeout.count()),  // ReadIntervalTimeout: 20 ms
    0,  // ReadTotalTimeoutMultiplier: no extra time per requested byte
    static_cast<DWORD>(kReadTimeout.count()),  // ReadTotalTimeoutConstant: 150 ms
    0,                                         // WriteTotalTimeoutMultiplier
    0,  // WriteTotalTimeoutConstant: a write returns once the port took it
};

}  // namespace

std::string LocalPortDevicePath(const char* portName) {
  return std::string("\\\\.\\") + portName;
}

PortHandle LocalPortCreate(const char* portName) {
  // 1. The device path. The prefix is always added, even to a name that
  // already carries it: "\\.\" is what lets COM10 and above be opened. A
  // name that doesn't fit is refused, never cut short: a shortened name
  // could open a different port.
  if (strnlen(portName, kLongestPortName + 1) > kLongestPortName) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return kNoPort;
  }
  char path[kDevicePathSize];
  std::snprintf(path, sizeof(path), "\\\\.\\%s", portName);

  // 2. Plain synchronous access; a port can only be opened unshared.
  return CreateFileA(
      path, GENERIC_READ | GENERIC_WRITE,
      0,                      // no sharing: exclusive use of the port
      nullptr,                // no security attributes
      OPEN_EXISTING,          // a device is never created
      FILE_ATTRIBUTE_NORMAL,  // not overlapped: every call completes before it returns
      nullptr);               // no template file
}

void LocalPortSaveState(PortHandle port, SavedPortState* saved) {
  SystemErrorGuard keepError;
  saved->dcb = DCB{};
  saved->dcb.DCBlength = sizeof(DCB);
  saved->stateRead = GetCommState(port, &saved->dcb) != FALSE;
  saved->timeoutsRead = GetCommTimeouts(port, &saved->timeouts) != FALSE;
}

void LocalPortRestoreState(PortHandle port, const SavedPortState& saved) {
  SystemErrorGuard keepError;
  DCB current{};
  current.DCBlength = sizeof(DCB);
  if (saved.stateRead && GetCommState(port, &current)) {
    // DTR and RTS stay as the run set them: a control mode that drops them
    // (DTR_CONTROL_DISABLE, handshaking) would reset many a device, and one
    // left in its bootloader on purpose would leave it again.
    DCB dcb = saved.dcb;
    dcb.fDtrControl = current.fDtrControl;
    dcb.fRtsControl = current.fRtsControl;
    SetCommState(port, &dcb);
  }
  if (saved.timeoutsRead) {
    COMMTIMEOUTS timeouts = saved.timeouts;
    SetCommTimeouts(port, &timeouts);
  }
}

int LocalPortSetTimeouts(PortHandle port) {
  COMMTIMEOUTS timeouts = kTimeouts;
  return SetCommTimeouts(port, &timeouts) ? 1 : 0;
}

int LocalPortGetState(PortHandle port, LineState* state) {
  state->dcb = DCB{};
  state->dcb.DCBlength = sizeof(DCB);
  return GetCommState(port, &state->dcb) ? 1 : 0;
}

int PortBuildState(LineState* state) {
  // No parity, 8 data bits, 1 stop bit. The baud 0 is a placeholder that
  // PortSetLineFields replaces; the mode text names no flow control, so
  // none is switched on.
  return BuildCommDCBA("0,n,8,1", &state->dcb) ? 1 : 0;
}

void PortSetLineFields(LineState* state, uint32_t baud) {
  DCB& dcb = state->dcb;
  dcb.BaudRate = baud;
  // No hardware flow control: CTS is ignored and RTS is simply asserted and
  // held, as DTR is; some adapters power the device's level shifter from
  // these lines.
  dcb.fOutxCtsFlow = FALSE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  // Whatever the previous user of the port left set, the line must carry
  // bytes unchanged. Windows only supports binary mode; fNull would drop
  // every 0x00 inside a frame; an error character would replace bytes that
  // had a parity error; DSR sensitivity would discard received bytes while
  // DSR is low; fAbortOnError would fail every later read and write after
  // one line error until ClearCommError is called, which we never do.
  dcb.fBinary = TRUE;
  dcb.fNull = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fParity = FALSE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  // No software flow control: 0x11 and 0x13 occur inside frames.
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fAbortOnError = FALSE;
}

void PortSetBaud(LineState* state, uint32_t baud) {
  state->dcb.BaudRate = baud;
}

uint32_t LineStateBaud(const LineState& state) {
  return state.dcb.BaudRate;
}

int LocalPortSetState(PortHandle port, const LineState& state) {
  // The driver refuses a rate or a setting it can't carry out with an error
  // of its own. A baud of 0 is refused here as well: not every serial layer
  // does so (Wine's over a pseudo-terminal takes it), and no line runs at 0.
  if (state.dcb.BaudRate == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  DCB dcb = state.dcb;
  return SetCommState(port, &dcb) ? 1 : 0;
}

int LocalPortPendingOutput(PortHandle port, uint32_t* bytes) {
  // The port's status also holds its line errors, which this clears; the
  // line is set never to stop on them (fAbortOnError off), so nothing
  // depends on them.
  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(port, &errors, &status)) return 0;
  *bytes = status.cbOutQue;
  return 1;
}

int LocalPortDrain(PortHandle port) {
  // On a serial port FlushFileBuffers waits until the driver has sent every
  // byte it holds: a finished WriteFile only means the driver took the byte.
  return FlushFileBuffers(port) ? 1 : 0;
}

void LocalPortPurge(PortHandle port, PurgeWhat what) {
  // Callers don't examine the purge; it must not disturb the error code that
  // a later report prints either.
  SystemErrorGuard keepError;
  const DWORD flags = what == PurgeWhat::kBoth ? (PURGE_TXCLEAR | PURGE_RXCLEAR) : PURGE_RXCLEAR;
  PurgeComm(port, flags);
}

int LocalPortWrite(PortHandle port, std::span<const uint8_t> bytes, uint32_t* written) {
  DWORD count = 0;
  const BOOL ok = WriteFile(port, bytes.data(), static_cast<DWORD>(bytes.size()), &count,
                            nullptr);  // not overlapped
  *written = count;
  return ok ? 1 : 0;
}

int LocalPortRead(PortHandle port, std::span<uint8_t> buffer, uint32_t* got) {
  // The port's COMMTIMEOUTS end the call: full buffer, a 20 ms gap after a
  // byte, or 150 ms in all. Success with no byte is a timeout, not an error.
  DWORD count = 0;
  const BOOL ok = ReadFile(port, buffer.data(), static_cast<DWORD>(buffer.size()), &count,
                           nullptr);  // not overlapped
  *got = count;
  return ok ? 1 : 0;
}

int LocalPortReadWaiting(PortHandle port, std::span<uint8_t> buffer, std::chrono::nanoseconds wait,
                         uint32_t* got) {
  using Clock = std::chrono::steady_clock;
  *got = 0;
  const Clock::time_point deadline = Clock::now() + wait;
  while (true) {
    // 1. Bytes that have arrived: a read of no more than those returns at
    // once, whatever the timeouts.
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(port, &errors, &status)) return 0;
    DWORD count = 0;
    if (status.cbInQue > 0) {
      const DWORD take = std::min<DWORD>(status.cbInQue, static_cast<DWORD>(buffer.size()));
      const BOOL ok = ReadFile(port, buffer.data(), take, &count, nullptr);  // not overlapped
      *got = count;
      return ok ? 1 : 0;
    }

    // 2. None yet: wait for the first, until the deadline. ReadIntervalTimeout
    // and ReadTotalTimeoutMultiplier both MAXDWORD with a total timeout make
    // Windows return as soon as a byte is there. Wine (8.0) keeps waiting for
    // the whole total timeout unless the buffer is full, so the read asks for
    // one byte: it returns with that byte on both, and step 1 takes the rest.
    const Clock::duration left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return 1;
    COMMTIMEOUTS timeouts = {
        MAXDWORD,  // ReadIntervalTimeout
        MAXDWORD,  // ReadTotalTimeoutMultiplier
        static_cast<DWORD>(std::chrono::ceil<std::chrono::milliseconds>(left).count()),
        0,  // WriteTotalTimeoutMultiplier
        0,  // WriteTotalTimeoutConstant: a write returns once the port took it
    };
    if (!SetCommTimeouts(port, &timeouts)) return 0;
    if (!ReadFile(port, buffer.data(), 1, &count, nullptr)) return 0;  // not overlapped
    if (count > 0) {
      *got = count;
      return 1;
    }
    // Nothing came. Wine times the wait on a millisecond tick and may end it
    // a little early: the deadline above decides.
  }
}

void LocalPortClose(PortHandle port) {
  CloseHandle(port);
}
