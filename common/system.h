// The few things every layer asks of the operating system itself: the last
// system error code, a guard that keeps it across a call whose failure does
// not matter, whether standard error is a terminal, and writes to a
// descriptor that must never hold the run up. The build picks one
// implementation file (system_posix.cpp or system_win32.cpp).
#pragma once

#include <span>

// The platform's last system error code (errno on POSIX, GetLastError on
// Windows), as an unsigned number.
unsigned long LastSystemError();

// Sets the platform's last system error code; used where the tool itself
// detects a fault that the system did not report with a code of its own.
void SetLastSystemError(unsigned long code);

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
