// The operating system's error code and console on Windows. Nothing of
// POSIX here.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdint>

#include "common/system.h"

namespace {

// The handle behind the C runtime |descriptor|, or nullptr: -1 for a
// descriptor that is not open, -2 for one without a stream (a program with
// no console has no standard streams).
HANDLE HandleOfDescriptor(int descriptor) {
  const intptr_t handle = _get_osfhandle(descriptor);
  return handle == -1 || handle == -2 ? nullptr : reinterpret_cast<HANDLE>(handle);
}

}  // namespace

unsigned long LastSystemError() {
  return GetLastError();
}

void SetLastSystemError(unsigned long code) {
  SetLastError(static_cast<DWORD>(code));
}

bool StandardErrorIsTerminal() {
  SystemErrorGuard keepError;
  DWORD mode = 0;
  // Only a console has a console mode; a pipe or a file fails the call.
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

int StandardErrorColumns() {
  SystemErrorGuard keepError;
  CONSOLE_SCREEN_BUFFER_INFO info;
  // The visible window, not the screen buffer: a buffer wider than the
  // window scrolls sideways, and the user sees only the window.
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info) == 0) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

int InheritedDescriptor(unsigned long long number) {
  SystemErrorGuard keepError;
  if (number > static_cast<unsigned long long>(INT_MAX)) return -1;
  if (HandleOfDescriptor(static_cast<int>(number)) != nullptr) return static_cast<int>(number);
  // Not a descriptor: a handle's value, when it is a handle of a file, a
  // pipe or a character device (GetFileType fails for anything else, and
  // for a value that is no handle).
  HANDLE handle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(number));
  SetLastError(NO_ERROR);
  if (GetFileType(handle) == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR) return -1;
  // Binary: the text goes out as it is (WriteWithoutWaiting writes to the
  // handle itself anyway).
  return _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
}

bool PrepareWriteWithoutWaiting(int descriptor) {
  SystemErrorGuard keepError;
  HANDLE handle = HandleOfDescriptor(descriptor);
  if (handle == nullptr) return false;
  switch (GetFileType(handle)) {
    case FILE_TYPE_DISK:
    case FILE_TYPE_CHAR:
      return true;
    case FILE_TYPE_PIPE: {
      // A write into a full pipe waits for its reader; in no-wait mode it
      // returns at once with what fitted, possibly nothing. A pipe that
      // refuses the mode is not used at all rather than risk a wait.
      DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
      return SetNamedPipeHandleState(handle, &mode, nullptr, nullptr) != 0;
    }
    default:
      return false;
  }
}

void WriteWithoutWaiting(int descriptor, std::span<const char> text) {
  SystemErrorGuard keepError;  // a dropped text is no failure of the run
  HANDLE handle = HandleOfDescriptor(descriptor);
  if (handle == nullptr) return;
  // The handle itself, not _write: the text goes out as it is, whatever
  // text mode the descriptor is in.
  DWORD written = 0;
  WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}
