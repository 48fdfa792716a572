// The requests from outside a run, as atomics that a signal handler or the
// console's handler thread may set while the run's thread reads them.
#include "common/interrupts.h"

#include <atomic>

#include "common/system.h"

namespace {

std::atomic<uint32_t> keyboardInterrupts{0};
std::atomic<int> stopReason{static_cast<int>(StopReason::kNone)};
std::atomic<bool> runFinished{false};

// Both are touched from signal handlers: they must not need a lock.
static_assert(std::atomic<uint32_t>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);

}  // namespace

void NoteKeyboardInterrupt() {
  keyboardInterrupts.fetch_add(1, std::memory_order_relaxed);
}

uint32_t KeyboardInterrupts() {
  return keyboardInterrupts.load(std::memory_order_relaxed);
}

void NoteStopRequest(StopReason reason) {
  int none = static_cast<int>(StopReason::kNone);
  stopReason.compare_exchange_strong(none, static_cast<int>(reason));
}

bool StopRequested() {
  // A parent without a signal to send (Windows) sets an event instead.
  if (StopRequestReason() == StopReason::kNone && ParentStopEventSet()) {
    NoteStopRequest(StopReason::kTerminate);
  }
  return StopRequestReason() != StopReason::kNone;
}

StopReason StopRequestReason() {
  return static_cast<StopReason>(stopReason.load());
}

void NoteRunFinished() {
  runFinished.store(true);
}

bool RunFinished() {
  return runFinished.load();
}

void ClearRequests() {
  keyboardInterrupts.store(0);
  stopReason.store(static_cast<int>(StopReason::kNone));
  runFinished.store(false);
}

void SetStoppedSystemError() {
  SetLastSystemError(InterruptedSystemError());
}
