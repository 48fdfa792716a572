// Waiting for what children and the user do: output on the children's
// pipes, a child's end, a stop request (Ctrl+C, SIGTERM, a closing
// console), a terminal that changed size. Every wait is bounded. The build
// picks child_wait_linux.cpp (poll and a signalfd) or child_wait_win32.cpp
// (an event that the pipes' readers, the ended children and the console's
// control handler set).
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "child_types.h"
#include "tools/child/child_process.h"

// What a wait found, besides the pipes that are ready.
struct WaitEvents {
  int stopRequests = 0;     // new ones since the last wait
  bool childEnded = false;  // some child may have ended: try ChildEnded
  bool resized = false;     // the terminal changed its size
  // Why the wait itself failed (then every pipe counts as ready); empty
  // when it did not.
  std::string failure;
};

// From now on takes the stop requests and the children's ends as events for
// WaitForChildren instead of letting them end the program: SIGINT, SIGTERM
// and SIGHUP on POSIX (and SIGPIPE ignored, so a reader that goes away
// can't end the program before its reports); Ctrl+C, Ctrl+Break and a
// closing console on Windows. False with the reason in |error|.
bool OpenChildWaiter(ChildWaiter* waiter, std::string* error);

// Puts back what OpenChildWaiter changed. On Windows, a console that is
// closing waits for this call (a few seconds at most) before it ends the
// program, so that the reports are written first.
void CloseChildWaiter(ChildWaiter* waiter);

// Waits until one of |pipes| has something to read or has ended, or an
// event comes, or |limit| has passed. |ready| gets one flag per pipe.
WaitEvents WaitForChildren(ChildWaiter* waiter, const std::vector<const ChildPipe*>& pipes,
                           std::chrono::milliseconds limit, std::vector<bool>* ready);
