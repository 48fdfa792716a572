// Sending and receiving over an open port, written once over the platform
// layer: the stall rule of the send loop, the bounded wait for the bytes
// sent to leave, and the receive budget counted in read timeouts.
#include <chrono>
#include <cstdint>
#include <span>
#include <thread>

#include "common/report.h"
#include "common/run_state.h"
#include "serial/serial_port.h"

namespace {

// The longest a single read call waits when nothing arrives.
constexpr uint32_t kReadTimeoutMs = 150;

// Consecutive write calls that may take nothing before the send gives up.
constexpr uint32_t kStallLimit = 100;

// The wait for written bytes to leave: the queue is looked at every
// millisecond, and must go down at least every 500 ms (a line held by flow
// control does not) and be empty within 5 s in all. Even at 300 baud a
// 16-byte hardware FIFO moves on well within 500 ms.
constexpr auto kQueueLookInterval = std::chrono::milliseconds(1);
constexpr auto kQueueStallLimit = std::chrono::milliseconds(500);
constexpr auto kSendWaitLimit = std::chrono::seconds(5);

}  // namespace

int MyWriteFile(PortHandle port, std::span<const uint8_t> bytes, uint32_t* sent) {
  *sent = 0;
  uint32_t stalls = 0;
  while (*sent < bytes.size()) {
    uint32_t written = 0;
    if (!PortWrite(port, bytes.subspan(*sent, 1), &written)) return 0;
    if (written > 0) {
      *sent += written;
      run.traffic.written += static_cast<int32_t>(written);
      stalls = 0;
    }
    // Checked before counting, so the send ends at the 101st empty call in
    // a row after a byte went out, or at the 102nd when none went out yet.
    if (stalls > kStallLimit) return 0;
    ++stalls;
  }
  return 1;
}

int WaitUntilSent(PortHandle port) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  Clock::time_point lastDrop = start;
  uint32_t least = UINT32_MAX;
  // 1. The system's queue, polled: a blocking drain could wait for good.
  while (true) {
    uint32_t pending = 0;
    if (!PortPendingOutput(port, &pending)) return 0;
    if (pending == 0) break;
    const Clock::time_point now = Clock::now();
    if (pending < least) {
      least = pending;
      lastDrop = now;
    }
    if (now - lastDrop >= kQueueStallLimit || now - start >= kSendWaitLimit) return 0;
    std::this_thread::sleep_for(kQueueLookInterval);
  }
  // 2. What the hardware still holds: a few byte times now.
  return PortDrain(port);
}

int MyReadFile(PortHandle port, std::span<uint8_t> buffer, uint32_t budgetMs, uint32_t* received) {
  *received = 0;
  // The budget is counted in read timeouts, not on a clock: every empty read
  // uses up one timeout, and the first burst ends the receive at once.
  for (uint32_t elapsed = 0; elapsed < budgetMs; elapsed += kReadTimeoutMs) {
    uint32_t got = 0;
    if (!PortRead(port, buffer.first(kReceiveSize), &got)) {
      ReportFailure("ReadFile");
      return 0;
    }
    if (got > 0) {
      run.traffic.read += static_cast<int32_t>(got);
      *received = got;
      return 1;
    }
  }
  return 0;
}
