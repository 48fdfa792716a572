// TCP connections with Winsock. Nothing of POSIX here.
//
// Winsock's header must come before <windows.h>, which would otherwise
// bring in the old Winsock 1 declarations.
#include <winsock2.h>
//
#include <windows.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>

#include "common/system.h"
#include "serial/socket.h"

namespace {

using Clock = std::chrono::steady_clock;

SOCKET AsSocket(PortHandle connection) {
  return reinterpret_cast<SOCKET>(connection);
}

// Winsock works only after WSAStartup; once per process is enough, and the
// system cleans up at the exit.
bool StartWinsock() {
  static const bool started = [] {
    WSADATA data{};
    const int error = WSAStartup(MAKEWORD(2, 2), &data);
    if (error != 0) SetLastError(static_cast<DWORD>(error));
    return error == 0;
  }();
  return started;
}

// Frees the address list on every way out.
struct AddressList {
  addrinfo* first = nullptr;
  ~AddressList() {
    if (first != nullptr) freeaddrinfo(first);
  }
};

timeval TimeValue(std::chrono::nanoseconds wait) {
  const auto micros = std::chrono::ceil<std::chrono::microseconds>(wait).count();
  return timeval{static_cast<long>(micros / 1000000), static_cast<long>(micros % 1000000)};
}

// Waits up to |wait| for |socket| to be ready to read (|writable| false) or
// to send; a connect that failed shows in the exception set.
int WaitFor(SOCKET socket, bool writable, std::chrono::nanoseconds wait) {
  fd_set ready;
  FD_ZERO(&ready);
  FD_SET(socket, &ready);
  fd_set failed;
  FD_ZERO(&failed);
  FD_SET(socket, &failed);
  timeval timeout = TimeValue(wait);
  const int events =
      select(0,  // ignored by Winsock
             writable ? nullptr : &ready, writable ? &ready : nullptr, &failed, &timeout);
  if (events == SOCKET_ERROR) return -1;
  return events > 0 ? 1 : 0;
}

// Connects |socket| to |address| by |deadline|. Returns 1, or 0 with the
// error code set.
int ConnectBy(SOCKET socket, const addrinfo& address, Clock::time_point deadline) {
  // Non-blocking, so the wait for the server's answer is ours to bound.
  u_long nonBlocking = 1;
  if (ioctlsocket(socket, FIONBIO, &nonBlocking) != 0) return 0;
  if (connect(socket, address.ai_addr, static_cast<int>(address.ai_addrlen)) == 0) return 1;
  if (WSAGetLastError() != WSAEWOULDBLOCK) return 0;
  return SocketWaitConnected(reinterpret_cast<PortHandle>(socket), deadline);
}

}  // namespace

PortHandle SocketConnect(const char* host, const char* service, std::chrono::milliseconds limit,
                         const char** failedStep) {
  const Clock::time_point deadline = Clock::now() + limit;
  *failedStep = "WSAStartup";
  if (!StartWinsock()) return kNoPort;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;  // IPv4 or IPv6, as the name resolves
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV;  // the port is a number, never a service name
  AddressList addresses;
  const int resolved = getaddrinfo(host, service, &hints, &addresses.first);
  if (resolved != 0) {
    SetLastError(static_cast<DWORD>(resolved));  // a WSA code
    *failedStep = "getaddrinfo";
    return kNoPort;
  }
  // Each address in turn (localhost is ::1 and 127.0.0.1), within the one
  // time limit; the last one's failure is reported.
  *failedStep = "connect";
  for (const addrinfo* address = addresses.first; address != nullptr; address = address->ai_next) {
    const SOCKET socket = ::socket(address->ai_family, address->ai_socktype, address->ai_protocol);
    if (socket == INVALID_SOCKET) {
      *failedStep = "socket";
      continue;
    }
    *failedStep = "connect";
    if (ConnectBy(socket, *address, deadline)) {
      const BOOL on = TRUE;
      if (setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                     sizeof on) == 0) {
        return reinterpret_cast<PortHandle>(socket);
      }
      *failedStep = "setsockopt";
    }
    const bool timeUp = GetLastError() == WSAETIMEDOUT;
    SocketClose(reinterpret_cast<PortHandle>(socket));  // keeps the error code for the report
    if (timeUp) break;                                  // for every address
  }
  return kNoPort;
}

int SocketConnectOutcome(PortHandle connection) {
  int error = 0;
  int size = sizeof error;
  if (getsockopt(AsSocket(connection), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                 &size) != 0) {
    return 0;
  }
  if (error == 0) return 1;
  SetLastError(static_cast<DWORD>(error));
  return 0;
}

int SocketWaitReadable(PortHandle connection, std::chrono::nanoseconds wait) {
  return WaitFor(AsSocket(connection), false, wait);
}

int SocketWaitWritable(PortHandle connection, std::chrono::nanoseconds wait) {
  return WaitFor(AsSocket(connection), true, wait);
}

long SocketSend(PortHandle connection, std::span<const uint8_t> bytes) {
  const int count = send(AsSocket(connection), reinterpret_cast<const char*>(bytes.data()),
                         static_cast<int>(bytes.size()), 0);
  if (count != SOCKET_ERROR) return count;
  return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

long SocketReceive(PortHandle connection, std::span<uint8_t> buffer) {
  const int count = recv(AsSocket(connection), reinterpret_cast<char*>(buffer.data()),
                         static_cast<int>(buffer.size()), 0);
  if (count > 0) return count;
  if (count == 0) {
    // The server's end of the stream: its close has no error code of its
    // own, and a reset is what it comes to.
    SetLastError(WSAECONNRESET);
    return -1;
  }
  return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

void SocketClose(PortHandle connection) {
  SystemErrorGuard keepError;
  closesocket(AsSocket(connection));
}

void SetNetworkFault(NetworkFault fault) {
  switch (fault) {
    case NetworkFault::kTimedOut:
      SetLastError(WSAETIMEDOUT);
      return;
    case NetworkFault::kClosed:
      SetLastError(WSAECONNRESET);
      return;
    case NetworkFault::kInvalid:
      SetLastError(ERROR_INVALID_PARAMETER);
      return;
    case NetworkFault::kUnsupported:
      SetLastError(WSAEOPNOTSUPP);
      return;
    case NetworkFault::kBusy:
      SetLastError(ERROR_BUSY);
      return;
  }
}
