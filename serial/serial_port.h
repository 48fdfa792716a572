// The serial port: the operations the protocol code uses, and the thin
// platform layer beneath them. The build picks one platform file
// (port_posix.cpp or port_win32.cpp) and its port_types.h.
#pragma once

#include <cstdint>
#include <span>

#include "port_types.h"

// --- What the tool does with a port --------------------------------------

// Every read asks for this many bytes; receive buffers hold at least as many.
inline constexpr uint32_t kReceiveSize = 285;

// Opens |portName| at |baud|, 8N1, no flow control, raw, with the read
// timeouts of the receive rule. Returns kNoPort after reporting the failing
// step ("CreateFile", "SetCommTimeouts", "GetCommState", "BuildCommDCB",
// "SetCommState").
PortHandle OpenSerial(const char* portName, uint32_t baud);

// Sends |bytes| one byte per write call, counting them in run.traffic.
// Returns 1 when all went out; |sent| says how many did. Gives up when more
// than 100 calls in a row take nothing (the port stalls), or when a write
// call fails.
int MyWriteFile(PortHandle port, std::span<const uint8_t> bytes, uint32_t* sent);

// Collects one burst of bytes into |buffer| (at least kReceiveSize bytes),
// counting them in run.traffic, waiting up to |budgetMs| counted in read
// timeouts of 150 ms. Returns 1 when a burst arrived, with its length in
// |received|; 0 when the budget ran out (no report) or a read failed
// (reported as "ReadFile").
int MyReadFile(PortHandle port, std::span<uint8_t> buffer, uint32_t budgetMs, uint32_t* received);

// --- Platform layer -------------------------------------------------------
// Each call that can fail returns 1 or 0 and leaves the platform's last
// error code set on failure, as the system call it stands for does.

// Opens the port device for exclusive read/write use ("CreateFile").
PortHandle PortCreate(const char* portName);

// Sets the read timeouts: a read returns when its buffer is full, 20 ms
// after a byte with no further byte, or 150 ms after it began; writes have
// no timeout ("SetCommTimeouts").
int PortSetTimeouts(PortHandle port);

// Reads the current line settings ("GetCommState").
int PortGetState(PortHandle port, LineState* state);

// Turns |state| into raw 8N1 with no parity ("BuildCommDCB").
int PortBuildState(LineState* state);

// Sets the fields the tool owns on top of the built state: |baud|, no flow
// control of either kind, bytes carried unchanged, RTS (and DTR) asserted.
void PortSetLineFields(LineState* state, uint32_t baud);

// Changes only the baud in |state|.
void PortSetBaud(LineState* state, uint32_t baud);

// Applies |state| and checks that the line took it ("SetCommState").
int PortSetState(PortHandle port, const LineState& state);

// Whether a line that reads back |actual| bits per second after it was
// asked for |requested| runs close enough to the request: within 3 % either
// way, exactly 3 % still taken. Drivers store the rate their hardware
// really makes (Linux's cp210x reads 115,200 back as 115,384), and a UART
// link tolerates a few per cent between its two ends; a rate the driver
// clamped far away (3,000,000 to 115,200) is refused. The POSIX port judges
// its read-back by this; Windows drivers refuse what they can't make.
constexpr bool RateWithinTolerance(uint32_t requested, uint32_t actual) {
  const uint64_t difference = actual > requested ? actual - requested : requested - actual;
  return difference * 100 <= uint64_t{requested} * 3;
}

// Waits until everything written has left the port.
int PortDrain(PortHandle port);

enum class PurgeWhat { kReceive, kBoth };

// Drops what waits in the receive direction, or in both directions.
void PortPurge(PortHandle port, PurgeWhat what);

// One write call ("WriteFile"): returns 0 when it fails; a port that takes
// nothing within the write wait leaves |written| at 0 with success.
int PortWrite(PortHandle port, std::span<const uint8_t> bytes, uint32_t* written);

// One read call under the read timeouts ("ReadFile"): returns 0 when it
// fails (including a line that hung up), else 1 with |got| bytes, maybe none.
int PortRead(PortHandle port, std::span<uint8_t> buffer, uint32_t* got);

// Closes the port ("CloseHandle").
void PortClose(PortHandle port);
