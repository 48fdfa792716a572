// The wait for a connect's answer, over the socket calls of each platform.
#include <algorithm>
#include <chrono>

#include "common/interrupts.h"
#include "common/system.h"
#include "serial/socket.h"

int SocketWaitConnected(PortHandle connection, std::chrono::steady_clock::time_point deadline) {
  using Clock = std::chrono::steady_clock;
  constexpr Clock::duration kSlice = std::chrono::milliseconds(150);
  while (true) {
    // A stop request ends the wait as an interrupted connect.
    if (StopRequested()) {
      SetStoppedSystemError();
      return 0;
    }
    const Clock::duration left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
      SetNetworkFault(NetworkFault::kTimedOut);
      return 0;
    }
    const int events = SocketWaitWritable(connection, std::min(left, kSlice));
    if (events < 0) return 0;
    if (events > 0) return SocketConnectOutcome(connection);
  }
}
