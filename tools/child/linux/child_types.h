// The child process layer's records on Linux. Nothing of Windows here.
#pragma once

#include <sys/types.h>

// A started child: its process id, in a process group of its own.
struct ChildProcess {
  pid_t pid = -1;
};

// The parent's end of a pipe from a child: a non-blocking descriptor, -1
// once closed.
struct ChildPipe {
  int fd = -1;
};

// The wait's signal descriptor, -1 when none is open.
struct ChildWaiter {
  int signalFd = -1;
};
