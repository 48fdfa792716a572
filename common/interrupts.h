// Requests that reach a run from outside while it works. Keyboard
// interrupts (Ctrl+C, Ctrl+Break, Ctrl+\) are counted and never obeyed: a
// half-programmed device is worse than a wait of a few seconds. Stop
// requests (SIGTERM and SIGHUP; the Windows console's close, logoff and
// shutdown events) end the run at its next safe point, with the port left
// as it was found and the failure lines of the step under way printed.
//
// The requests are noted by a signal handler or by the console's handler
// thread and read by the run's own thread: lock-free atomics alone, which
// both may touch.
#pragma once

#include <cstdint>

// What asked the run to stop.
enum class StopReason : int { kNone, kTerminate, kHangUp, kConsoleClose };

// Counts one keyboard interrupt. Safe in a signal handler.
void NoteKeyboardInterrupt();

// The keyboard interrupts counted so far.
uint32_t KeyboardInterrupts();

// Notes a stop request; the first reason stays. Safe in a signal handler.
void NoteStopRequest(StopReason reason);

// Whether a stop request came, a parent's stop event (see
// WatchParentStopEvent) included. The run's waits ask before each read,
// and the wake-up before each probe, so that a run ends well within a
// second.
bool StopRequested();

// The first stop request's reason, kNone while none came.
StopReason StopRequestReason();

// Notes that the run has ended and its port is left as found: a handler
// that holds a close event until then may let the system go on.
void NoteRunFinished();
bool RunFinished();

// Forgets every request and the run's end, for a further run in the same
// process (as tests make).
void ClearRequests();

// Sets the last system error code to the platform's "interrupted" code
// (EINTR on POSIX, ERROR_OPERATION_ABORTED on Windows), for the report of
// a wait that a stop request ended.
void SetStoppedSystemError();
