// Sending and receiving over an open port, written once over the platform
// layer: the stall rule of the send loop, the bounded wait for the bytes
// sent to leave, the receive budget counted in read timeouts, and the read
// that ends on a whole reply frame (fast replies).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <span>
#include <thread>

#include "common/interrupts.h"
#include "common/message_frame.h"
#include "common/progress.h"
#include "common/report.h"
#include "common/run_state.h"
#include "serial/serial_port.h"

namespace {

using Clock = std::chrono::steady_clock;

// What one read counts for in a receive's budget.
constexpr uint32_t kReadTimeoutMs = static_cast<uint32_t>(kReadTimeout.count());

// How long a reply read over a stream waits for the next byte of a partial
// frame.
constexpr auto kPartialFrameGap = std::chrono::milliseconds(250);

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
    const size_t chunk = std::min<size_t>(run.bytesPerWrite, bytes.size() - *sent);
    if (!PortWrite(port, bytes.subspan(*sent, chunk), &written)) return 0;
    if (written > 0) {
      *sent += written;
      run.traffic.written += static_cast<int32_t>(written);
      stalls = 0;
    } else if (StopRequested()) {
      return 0;  // a stalled send need not wait out the stall rule
    }
    // Checked before counting, so the send ends at the 101st empty call in
    // a row after a byte went out, or at the 102nd when none went out yet.
    if (stalls > kStallLimit) return 0;
    ++stalls;
  }
  return 1;
}

int WaitUntilSent(PortHandle port) {
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

namespace {

// One read of the receive rule that also ends on a whole reply frame: once
// the bytes so far pass ParseMessage, 1 ms without a further byte ends it
// instead of 20 ms. Until then, and for bursts that never form a frame, it
// ends exactly as the port's own read does. Returns 1 with |got| bytes
// (none when nothing came within 150 ms), with |endedOnFrame| when the
// frame rule ended it before the standard timing would have; 0 when the
// port failed before any byte came. A port that fails after some bytes
// delivers those; the next read fails.
int ReadUntilFrame(PortHandle port, std::span<uint8_t> buffer, uint32_t* got, bool* endedOnFrame) {
  *got = 0;
  *endedOnFrame = false;
  const Clock::time_point deadline = Clock::now() + kReadTimeout;
  Clock::duration wait = kReadTimeout;
  bool quietAfterFrame = false;  // |wait| is the quiet after a whole frame
  while (*got < buffer.size()) {
    uint32_t count = 0;
    if (!PortReadWaiting(port, buffer.subspan(*got), wait, &count)) return *got > 0 ? 1 : 0;
    if (count == 0) {
      *endedOnFrame = quietAfterFrame;
      break;
    }
    *got += count;
    std::span<const uint8_t> body;
    const bool frameWhole = ParseMessage(buffer.first(*got), &body) == 1;
    const Clock::duration gap = frameWhole ? Clock::duration(kQuietAfterFrame) : kInterByteTimeout;
    const Clock::duration left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) break;
    // Within the last millisecond the 150 ms end the read in both timings.
    wait = std::min(gap, left);
    quietAfterFrame = frameWhole && wait == gap;
  }
  return 1;
}

// A reply read over a stream (ReplyTiming::kStream), where neither the
// network nor the server keeps a reply's bytes together: the budget runs on
// the clock from the send, in waits of at most one read timeout. Once bytes
// came, a whole frame ends the read at once (what follows it could not
// change the verdict, and the purge before the next message drops it), and
// a partial one waits at most 250 ms for its next byte (a lost packet's
// retransmission takes 200 ms and more). Returns as MyReadFile does.
int ReadStreamReply(PortHandle port, std::span<uint8_t> buffer, uint32_t budgetMs,
                    uint32_t* received) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(budgetMs);
  uint32_t got = 0;
  std::span<const uint8_t> body;
  while (got < buffer.size() && ParseMessage(buffer.first(got), &body) != 1) {
    // As between the reads of a local port: a stop request ends the wait
    // before the reply began.
    if (got == 0 && StopRequested()) {
      SetStoppedSystemError();
      return 0;
    }
    ProgressTick();
    const Clock::duration left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) break;
    const Clock::duration limit = got == 0 ? Clock::duration(kReadTimeout) : kPartialFrameGap;
    uint32_t count = 0;
    if (!PortReadWaiting(port, buffer.subspan(got), std::min(left, limit), &count)) {
      if (got > 0) break;  // delivered; the next read fails
      ReportFailure("ReadFile");
      return 0;
    }
    if (count == 0 && got > 0) break;
    got += count;
  }
  if (got == 0) return 0;
  run.traffic.read += static_cast<int32_t>(got);
  *received = got;
  return 1;
}

}  // namespace

int MyReadFile(PortHandle port, std::span<uint8_t> buffer, uint32_t budgetMs, ReplyTiming timing,
               uint32_t* received) {
  *received = 0;
  if (timing == ReplyTiming::kStream) {
    return ReadStreamReply(port, buffer.first(kReceiveSize), budgetMs, received);
  }
  // The budget is counted in read timeouts, not on a clock: every empty read
  // uses up one timeout, and the first burst ends the receive at once.
  for (uint32_t elapsed = 0; elapsed < budgetMs; elapsed += kReadTimeoutMs) {
    // A stop request ends the wait here, between two reads: nothing is half
    // sent, and the caller reports the step under way.
    if (StopRequested()) {
      SetStoppedSystemError();
      return 0;
    }
    ProgressTick();  // a keyboard interrupt gets its answer while we wait
    uint32_t got = 0;
    bool endedOnFrame = false;
    const std::span<uint8_t> space = buffer.first(kReceiveSize);
    const int read = timing == ReplyTiming::kFast ? ReadUntilFrame(port, space, &got, &endedOnFrame)
                                                  : PortRead(port, space, &got);
    if (!read) {
      ReportFailure("ReadFile");
      return 0;
    }
    if (got > 0) {
      run.traffic.read += static_cast<int32_t>(got);
      run.replyTailPossible = endedOnFrame;
      *received = got;
      return 1;
    }
  }
  return 0;
}

void DropReplyTail(PortHandle port) {
  // Only here, before a message: a purge after one could drop the start of
  // the device's answer to it. A stream may still bring anything late, the
  // answers to earlier sync probes too: it is purged before every message.
  if (!run.replyTailPossible && run.replyTiming != ReplyTiming::kStream) return;
  run.replyTailPossible = false;
  PortPurge(port, PurgeWhat::kReceive);
}
