// The operating system's error code and console on Windows. Nothing of
// POSIX here.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/system.h"

namespace {

// The handle behind the C runtime |descriptor|, or nullptr: -1 for a
// descriptor that is not open, -2 for one without a stream (a program with
// no console has no standard streams).
HANDLE HandleOfDescriptor(int descriptor) {
  const intptr_t handle = _get_osfhandle(descriptor);
  return handle == -1 || handle == -2 ? nullptr : reinterpret_cast<HANDLE>(handle);
}

// The event a parent sets to ask the run to end (WatchParentStopEvent).
HANDLE parentStopEvent = nullptr;

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

unsigned long InterruptedSystemError() {
  return ERROR_OPERATION_ABORTED;
}

SystemErrorKind ClassifySystemError(unsigned long code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_UNIT:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_FILENAME_EXCED_RANGE:
      return SystemErrorKind::kNotFound;
    case ERROR_ACCESS_DENIED:  // for a port: another program has it open
    case ERROR_SHARING_VIOLATION:
      return SystemErrorKind::kBusy;
    case ERROR_INVALID_FUNCTION:  // a communications call on something else
    case ERROR_NOT_SUPPORTED:
      return SystemErrorKind::kNotAPort;
    case ERROR_INVALID_PARAMETER:
      return SystemErrorKind::kInvalid;
    case ERROR_GEN_FAILURE:
    case ERROR_DEVICE_REMOVED:
    case ERROR_BAD_COMMAND:
      return SystemErrorKind::kGone;
    case ERROR_OPERATION_ABORTED:
      return SystemErrorKind::kInterrupted;
    case WSAETIMEDOUT:
      return SystemErrorKind::kTimedOut;
    case WSAEOPNOTSUPP:
      return SystemErrorKind::kUnsupported;
    default:
      return SystemErrorKind::kOther;
  }
}

std::string SystemErrorText(unsigned long code) {
  SystemErrorGuard keepError;
  char text[256] = {};
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr,  // the system's own messages
                                      static_cast<DWORD>(code),
                                      MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof(text),
                                      nullptr);  // no inserts
  std::string line(text, length);
  // The system's texts end with a full stop and a line break.
  while (!line.empty() &&
         (line.back() == '\n' || line.back() == '\r' || line.back() == ' ' || line.back() == '.')) {
    line.pop_back();
  }
  return line.empty() ? "error " + std::to_string(code) : line;
}

std::string FileGroupName(const std::string& /*path*/) {
  // Access to a port on Windows is no group's: a port that can't be opened
  // is held by another program.
  return std::string();
}

bool WatchParentStopEvent(const char* setting) {
  SystemErrorGuard keepError;
  if (setting == nullptr || *setting < '0' || *setting > '9') return false;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(setting, &end, 10);
  if (*end != '\0' || value == 0) return false;
  // Only a handle that can be waited on and is not set yet: a number that
  // names something else, or nothing, leaves the run without the request.
  HANDLE handle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
  if (WaitForSingleObject(handle, 0) != WAIT_TIMEOUT) return false;
  parentStopEvent = handle;
  return true;
}

bool ParentStopEventSet() {
  if (parentStopEvent == nullptr) return false;
  SystemErrorGuard keepError;
  return WaitForSingleObject(parentStopEvent, 0) == WAIT_OBJECT_0;
}
