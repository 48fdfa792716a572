// A serial port on a device server (ser2net, a commercial serial server),
// reached as rfc2217://HOST:PORT over telnet with RFC 2217's COM-PORT-OPTION.
// Its operations stand for the platform port's where port_dispatch.cpp
// finds a network port; each keeps the meaning the platform layer gives it
// in serial_port.h, and the differences are said here.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>

#include "serial/serial_port.h"

// How many data bytes one write call carries: a whole message goes out in
// one send (one byte per call, paced by a local line, would be one network
// packet each).
inline constexpr uint32_t kNetworkWriteSize = 1024;

// True when |port| is the open network port.
bool NetworkPortOwns(PortHandle port);

// Connects to the server that |portName| names, within 5 s, and asks for
// binary data, no go-aheads and COM-PORT-OPTION (the answers are awaited by
// the first NetworkPortSetState). One network port at a time. Returns
// kNoPort after reporting the failed system call ("getaddrinfo", "socket",
// "connect", "setsockopt") where there was one.
PortHandle NetworkPortCreate(const char* portName);

// The rate the server confirmed last (0 before the first).
int NetworkPortGetBaud(PortHandle port, uint32_t* baud);

// Sets the rate, and the first time 8 data bits, no parity, one stop bit,
// no flow control, DTR and RTS on, and waits up to 2 s for the server's
// answers. The rate it answers must lie within 3 % of |baud|
// (RateWithinTolerance) and the others must be what was asked. The answer
// to the control lines is not awaited: a server that can't set them (ser2net
// on a pseudo-terminal) stays silent. Fails with the system's "timed out"
// for a missing answer and "invalid argument" for a wrong one.
int NetworkPortSetBaud(PortHandle port, uint32_t baud);

// RFC 2217 has no drain: asks the server for its rate, which it answers
// only after it has taken every byte sent before, then waits for what is
// left of those bytes' time on the line at the rate they were written at
// (each byte 10 bits from when it was written), with a margin. Returns at
// once when nothing was written since the last drain.
int NetworkPortDrain(PortHandle port);

// PURGE-DATA for the server's receive buffer (or both), and drops what
// korvel holds of the stream and what the server sent before it answers
// the purge.
void NetworkPortPurge(PortHandle port, PurgeWhat what);

// Sends up to kNetworkWriteSize bytes of |bytes|, escaped, waiting at most
// 20 ms for room; |written| counts the data bytes that went out.
int NetworkPortWrite(PortHandle port, std::span<const uint8_t> bytes, uint32_t* written);

// The receive rule over the stream: up to 150 ms, ended 20 ms after a byte.
int NetworkPortRead(PortHandle port, std::span<uint8_t> buffer, uint32_t* got);

// Waits up to |wait| for data and takes what has come.
int NetworkPortReadWaiting(PortHandle port, std::span<uint8_t> buffer,
                           std::chrono::nanoseconds wait, uint32_t* got);

// Closes the connection; the server then gives its port up.
void NetworkPortClose(PortHandle port);
