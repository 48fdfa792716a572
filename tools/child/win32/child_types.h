// The child process layer's records on Windows. Nothing of POSIX here.
// The handles are held as what HANDLE and DWORD are, so that a file that
// holds a Child does not take all of <windows.h> in with it.
#pragma once

#include <memory>

// What a pipe's reading thread shares with the parent (child_pipe_win32.cpp).
struct PipeReader;

// A started child: its process handle (nullptr once reaped), its id (which
// is also its process group's), and the thread pool's wait for its end.
struct ChildProcess {
  void* process = nullptr;    // HANDLE
  unsigned long id = 0;       // DWORD
  void* endWait = nullptr;    // HANDLE
  void* stopEvent = nullptr;  // HANDLE: AskChildToEnd sets it, when there is one
  bool killed = false;        // TerminateProcess went out
};

// The parent's end of a pipe from a child: a thread reads it as it fills
// (an anonymous pipe has no way to wait on several at once), and the
// parent takes what the thread read. nullptr once closed.
struct ChildPipe {
  std::shared_ptr<PipeReader> reader;
};

// The wait keeps its state in child_wait_win32.cpp: a console control
// handler can only reach the program's own objects.
struct ChildWaiter {
  bool open = false;
};
