// Waiting for children on Windows: one auto-reset event, set by the pipes'
// reading threads, by the thread pool when a child ends and by the
// console's control handler; the wait looks at what set it. Nothing of
// POSIX here.
#include <windows.h>

#include <atomic>
#include <string>

#include "child_win32.h"
#include "tools/child/child_wait.h"

namespace {

// What came since the last wait. The control handler and the thread pool
// run on threads of their own.
std::atomic<int> pendingStops{0};
std::atomic<bool> pendingChildEnd{false};
// Set once the program is done with its reports: a closing console waits
// for it.
HANDLE reportsDone = nullptr;

// The system ends the program this long after a closing console's event
// at the latest; the handler gives back a little before.
constexpr DWORD kClosingWaitMs = 4500;

// Ctrl+C and Ctrl+Break are stop requests. A console that closes (or a
// logoff, or a shutdown) ends the program when the handler returns: that
// is two requests at once, so that every run ends now, and the handler
// holds the end back until the reports are written.
BOOL WINAPI StopHandler(DWORD event) {
  const bool closing = event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT;
  pendingStops += closing ? 2 : 1;
  SetEvent(ChildWakeEvent());
  if (closing) WaitForSingleObject(reportsDone, kClosingWaitMs);
  return TRUE;
}

}  // namespace

HANDLE ChildWakeEvent() {
  // Made at the first call, from whichever thread makes it; never closed,
  // as threads that outlive a child may still set it.
  static const HANDLE event = CreateEventA(nullptr,
                                           FALSE,  // auto-reset: one wait takes it
                                           FALSE,  // not set at first
                                           nullptr);
  return event;
}

void NoteChildEnded() {
  pendingChildEnd = true;
  SetEvent(ChildWakeEvent());
}

bool OpenChildWaiter(ChildWaiter* waiter, std::string* error) {
  reportsDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (ChildWakeEvent() == nullptr || reportsDone == nullptr ||
      !SetConsoleCtrlHandler(StopHandler, TRUE)) {
    *error = "cannot take console events (" + std::to_string(GetLastError()) + ")";
    return false;
  }
  waiter->open = true;
  return true;
}

void CloseChildWaiter(ChildWaiter* waiter) {
  if (!waiter->open) return;
  // A closing console's handler may be waiting: let it return first.
  SetEvent(reportsDone);
  SetConsoleCtrlHandler(StopHandler, FALSE);
  waiter->open = false;
}

WaitEvents WaitForChildren(ChildWaiter* /*waiter*/, const std::vector<const ChildPipe*>& pipes,
                           std::chrono::milliseconds limit, std::vector<bool>* ready) {
  // 1. What is there already, and 2. if nothing, the wait for the event.
  // Whatever sets it after the first look makes the wait return at once.
  const auto look = [&] {
    bool any = pendingStops > 0 || pendingChildEnd;
    ready->assign(pipes.size(), false);
    for (size_t i = 0; i < pipes.size(); ++i) {
      (*ready)[i] = PipeReady(*pipes[i]);
      any = any || (*ready)[i];
    }
    return any;
  };
  if (!look()) {
    const long long ms = limit.count() < 0 ? 0 : limit.count();
    const DWORD waitMs = static_cast<DWORD>(ms < INFINITE ? ms : INFINITE - 1);
    if (WaitForSingleObject(ChildWakeEvent(), waitMs) == WAIT_FAILED) {
      WaitEvents failed;
      failed.failure = "WaitForSingleObject (" + std::to_string(GetLastError()) + ")";
      ready->assign(pipes.size(), true);
      return failed;
    }
    look();
  }
  WaitEvents events;
  events.stopRequests = pendingStops.exchange(0);
  events.childEnded = pendingChildEnd.exchange(false);
  return events;
}
