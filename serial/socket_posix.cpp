// TCP connections with POSIX sockets. Nothing of Windows here.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "common/retry_posix.h"
#include "common/system.h"
#include "serial/line_control.h"
#include "serial/socket.h"

namespace {

using Clock = std::chrono::steady_clock;

// Frees the address list on every way out.
struct AddressList {
  addrinfo* first = nullptr;
  ~AddressList() {
    if (first != nullptr) freeaddrinfo(first);
  }
};

// getaddrinfo answers with codes of its own, negative in glibc; the report
// shows them as positive numbers (EAI_NONAME, -2, as 2), and EAI_SYSTEM
// as the errno it stands for.
void SetResolverError(int code) {
  if (code == EAI_SYSTEM) return;
  errno = code < 0 ? -code : code;
}

// Connects |fd| to |address| by |deadline|. Returns 1, or 0 with errno set.
int ConnectBy(int fd, const addrinfo& address, Clock::time_point deadline) {
  // Non-blocking, so the wait for the server's answer is ours to bound.
  if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) return 0;
  if (connect(fd, address.ai_addr, address.ai_addrlen) == 0) return 1;
  if (errno != EINPROGRESS && errno != EINTR) return 0;
  return SocketWaitConnected(fd, deadline);
}

}  // namespace

PortHandle SocketConnect(const char* host, const char* service, std::chrono::milliseconds limit,
                         const char** failedStep) {
  const Clock::time_point deadline = Clock::now() + limit;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;  // IPv4 or IPv6, as the name resolves
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;  // the port is a number, never a service name
  AddressList addresses;
  const int resolved = getaddrinfo(host, service, &hints, &addresses.first);
  if (resolved != 0) {
    SetResolverError(resolved);
    *failedStep = "getaddrinfo";
    return kNoPort;
  }
  // Each address in turn (localhost is ::1 and 127.0.0.1), within the one
  // time limit; the last one's failure is reported.
  *failedStep = "connect";
  for (const addrinfo* address = addresses.first; address != nullptr; address = address->ai_next) {
    const int fd =
        socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, address->ai_protocol);
    if (fd < 0) {
      *failedStep = "socket";
      continue;
    }
    *failedStep = "connect";
    if (ConnectBy(fd, *address, deadline)) {
      const int on = 1;
      if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0) return fd;
      *failedStep = "setsockopt";
    }
    const bool timeUp = errno == ETIMEDOUT;
    SocketClose(fd);    // keeps the error code for the report
    if (timeUp) break;  // for every address
  }
  return kNoPort;
}

int SocketConnectOutcome(PortHandle connection) {
  int error = 0;
  socklen_t size = sizeof error;
  if (getsockopt(connection, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return 0;
  if (error == 0) return 1;
  errno = error;
  return 0;
}

int SocketWaitReadable(PortHandle connection, std::chrono::nanoseconds wait) {
  const int events = WaitForInput(connection, wait);
  if (events < 0) return errno == EINTR ? 0 : -1;
  return events > 0 ? 1 : 0;
}

int SocketWaitWritable(PortHandle connection, std::chrono::nanoseconds wait) {
  const auto waitMs = std::chrono::ceil<std::chrono::milliseconds>(wait).count();
  pollfd ready{connection, POLLOUT, 0};
  const int events = poll(&ready, 1, static_cast<int>(waitMs));
  if (events < 0) return errno == EINTR ? 0 : -1;
  return events > 0 ? 1 : 0;
}

long SocketSend(PortHandle connection, std::span<const uint8_t> bytes) {
  // MSG_NOSIGNAL: a server that has gone makes the send fail with EPIPE
  // instead of raising SIGPIPE.
  const ssize_t count = RetryAfterSignal(
      [&] { return send(connection, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT); });
  if (count >= 0) return static_cast<long>(count);
  return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
}

long SocketReceive(PortHandle connection, std::span<uint8_t> buffer) {
  const ssize_t count = RetryAfterSignal(
      [&] { return recv(connection, buffer.data(), buffer.size(), MSG_DONTWAIT); });
  if (count > 0) return static_cast<long>(count);
  if (count == 0) {
    // The server's end of the stream: its close has no error code of its
    // own, and a reset is what it comes to.
    errno = ECONNRESET;
    return -1;
  }
  return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
}

void SocketClose(PortHandle connection) {
  SystemErrorGuard keepError;
  close(connection);
}

void SetNetworkFault(NetworkFault fault) {
  switch (fault) {
    case NetworkFault::kTimedOut:
      errno = ETIMEDOUT;
      return;
    case NetworkFault::kClosed:
      errno = ECONNRESET;
      return;
    case NetworkFault::kInvalid:
      errno = EINVAL;
      return;
    case NetworkFault::kUnsupported:
      errno = EOPNOTSUPP;
      return;
    case NetworkFault::kBusy:
      errno = EBUSY;
      return;
  }
}
