// The few things every layer asks of the operating system itself: the last
// system error code, a guard that keeps it across a call whose failure does
// not matter, whether standard error is a terminal, and writes to a
// descriptor that must never hold the run up. The build picks one
// implementation file (system_posix.cpp or system_win32.cpp).
#pragma once

#include <span>
#include <string>

// The platform's last system error code (errno on POSIX, GetLastError on
// Windows), as an unsigned number.
unsigned long LastSystemError();

// Sets the platform's last system error code; used where the tool itself
// detects a fault that the system did not report with a code of its own.
void SetLastSystemError(unsigned long code);

// A stop request from the program that started the run, where the platform
// has no signal for it: on Windows |setting| (the text of
// KORVEL_STOP_HANDLE) is the value of an inherited event handle that the
// parent sets to ask the run to end. Takes the handle when it is one;
// nothing on POSIX, where a parent sends SIGTERM. Returns whether it took
// it. Leaves the last system error as it was.
bool WatchParentStopEvent(const char* setting);

// Whether the parent has set the event WatchParentStopEvent took; false
// when none was taken. Never waits.
bool ParentStopEventSet();

// The platform's code for a call that was interrupted: EINTR on POSIX,
// ERROR_OPERATION_ABORTED on Windows.
unsigned long InterruptedSystemError();

// What a system error code means to a technician, across platforms.
enum class SystemErrorKind {
  kNotFound,      // no such file, device or port
  kNoPermission,  // the user may not open it
  kBusy,          // another program holds it
  kNotAPort,      // it is no serial port (a file, a folder, /dev/null)
  kInvalid,       // a setting the driver refuses (a rate it can't make)
  kGone,          // the device went away or hung up while in use
  kInterrupted,   // a stop request ended a wait
  kTimedOut,      // a network peer did not answer in time
  kUnsupported,   // a network peer refuses what korvel asks of it
  kOther,
};

// The kind of |code|, a code of this platform's.
SystemErrorKind ClassifySystemError(unsigned long code);

// The system's own text for |code| (strerror on POSIX, FormatMessage on
// Windows), one line without a final full stop. Leaves the last system
// error as it was.
std::string SystemErrorText(unsigned long code);

// The name of the group that owns the file at |path|, whose members may
// use it where the file allows the group in (a serial device's "dialout");
// empty where it can't be told, and on Windows. Leaves the last system
// error as it was.
std::string FileGroupName(const std::string& path);

// Keeps the last system error code across a call whose result is ignored
// (closing a file after a failure, an optional ioctl, drawing the progress
// line): saves the code when made and puts it back when it goes out of
// scope, so that a later report prints the error of the step that failed.
class SystemErrorGuard {
 public:
  SystemErrorGuard() : saved_(LastSystemError()) {}
  ~SystemErrorGuard() {
    if (restore_) SetLastSystemError(saved_);
  }
  SystemErrorGuard(const SystemErrorGuard&) = delete;
  SystemErrorGuard& operator=(const SystemErrorGuard&) = delete;

  // Leaves the code as it is when the guard goes: for a path that failed
  // and reported, whose error code stays the last one, as after any report.
  void KeepCurrentError() { restore_ = false; }

 private:
  unsigned long saved_;
  bool restore_ = true;
};

// True when standard error is a terminal (a console on Windows). Leaves the
// last system error as it was.
bool StandardErrorIsTerminal();

// The width of the terminal on standard error in columns, asked anew at each
// call (the user may resize it); 0 when it can't be told. Leaves the last
// system error as it was.
int StandardErrorColumns();

// The descriptor that |number|, passed by a program that runs korvel,
// names: on POSIX the number itself; on Windows a C runtime descriptor of
// that number, or else an inherited handle of that value, which gets a C
// runtime descriptor of its own (a child's C runtime has descriptors only
// for its standard streams: a parent passes it a handle). -1 when it names
// neither. Leaves the last system error as it was.
int InheritedDescriptor(unsigned long long number);

// Readies |descriptor| (a POSIX descriptor, or a C runtime descriptor on
// Windows) for WriteWithoutWaiting: true when it is open for writing now.
// Leaves the last system error as it was.
bool PrepareWriteWithoutWaiting(int descriptor);

// Writes |text| to a descriptor that PrepareWriteWithoutWaiting accepted,
// but only if it can take all of it at once: a full pipe, a reader that has
// gone or a descriptor closed since drop the text instead of holding the
// caller up. Leaves the last system error as it was.
void WriteWithoutWaiting(int descriptor, std::span<const char> text);
