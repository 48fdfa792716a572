// TCP connections for the network port, beneath it as the platform's serial
// functions are beneath the local port. The build picks one implementation
// file (socket_posix.cpp or socket_win32.cpp). A connection is a PortHandle:
// a descriptor on POSIX; on Windows a socket, which is a kernel handle as
// well, so it never equals the handle of an open local port.
//
// Calls that can fail leave the system's error code set, as the system call
// they stand for does; the caller reports the step.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>

#include "serial/serial_port.h"

// Resolves |host| and |service| (a port number) and connects to the first
// of its addresses that accepts, all within |limit|, with Nagle's delay off
// (TCP_NODELAY) so that a small message goes out at once. Returns the
// connection, or kNoPort with |failedStep| set to the system call that
// failed ("getaddrinfo", "socket", "connect", "setsockopt") and its error
// code set; a connect that is not answered in time fails with the system's
// "timed out".
PortHandle SocketConnect(const char* host, const char* service, std::chrono::milliseconds limit,
                         const char** failedStep);

// Waits until a connect under way on |connection| is answered, |deadline|
// passes (the system's "timed out") or a stop request comes (the system's
// "interrupted"), in slices of 150 ms. Returns 1 when connected, else 0 with
// the error code set. Written once over the calls below (socket_connect.cpp).
int SocketWaitConnected(PortHandle connection, std::chrono::steady_clock::time_point deadline);

// After a connect under way has made |connection| writable: 1 when it is
// connected, else 0 with the connect's own error code set.
int SocketConnectOutcome(PortHandle connection);

// Waits up to |wait| until the connection has something to read (data, its
// end, or an error to fetch). Returns 1 when it has, 0 when |wait| passed,
// -1 when the wait failed.
int SocketWaitReadable(PortHandle connection, std::chrono::nanoseconds wait);

// The same for room to send.
int SocketWaitWritable(PortHandle connection, std::chrono::nanoseconds wait);

// One send that does not wait: returns the bytes taken, 0 when the
// system's buffer is full, -1 when the send failed ("send").
long SocketSend(PortHandle connection, std::span<const uint8_t> bytes);

// One receive that does not wait: returns the bytes read, 0 when none are
// there, -1 when the receive failed or the server closed the connection
// ("recv"; a close sets the system's "connection reset").
long SocketReceive(PortHandle connection, std::span<uint8_t> buffer);

// Closes the connection.
void SocketClose(PortHandle connection);

// Sets the system's error code for a fault the network port finds itself.
enum class NetworkFault {
  kTimedOut,     // an answer did not come in time
  kClosed,       // the server has closed the connection
  kInvalid,      // a value korvel can't use (a port name, a rate)
  kUnsupported,  // the server refuses COM-PORT-OPTION
  kBusy,         // a network port is open already
};
void SetNetworkFault(NetworkFault fault);
