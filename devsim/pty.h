// The pseudo-terminal the device plays on, and reading its line rate.
#pragma once

#include <cstdint>
#include <string>

namespace devsim_internal {

// Both ends of a pseudo-terminal, owned by the device.
struct PtyPair {
  int master = -1;   // the device's end: non-blocking, close-on-exec
  int slave = -1;    // held open for the device's whole life; see OpenPty
  std::string path;  // the slave's path (/dev/pts/N), which korvel opens
};

// Opens a pseudo-terminal whose slave starts in raw mode, with the master
// in packet mode: every read of the master begins with a status byte, 0 for
// data that follows, else flags such as kLineSettingsChanged with no data.
// Returns false with errno set, leaving nothing open.
bool OpenPty(PtyPair* pty);

// The status flag that says the slave's settings (line rate and all) were
// set since the last read.
extern const uint8_t kLineSettingsChanged;

// Lets the slave's output (what korvel writes) flow to the master, or holds
// it: while held, korvel's writes find no room and wait.
bool SetSlaveOutputFlowing(const PtyPair& pty, bool flowing);

// Turns the kernel's input processing on the slave off (|reported| true:
// EXTPROC set, and every later settings change is reported to the master
// in packet mode) or back on (EXTPROC clear: the slave's input flags, such
// as ICRNL, act on what the device writes, as on a real port). The status
// byte that this change itself raises on the master is read and dropped.
bool SetSlaveSettingsReported(const PtyPair& pty, bool reported);

// True while bytes the device wrote wait in the slave's input queue, not
// yet read by the tool.
bool SlaveInputPending(const PtyPair& pty);

// Closes whichever ends are still open.
void ClosePty(PtyPair* pty);

// Reads the output line rate of terminal |fd| in bits per second. Returns
// false with errno set. Kept in a file of its own (line_rate_linux.cpp):
// Linux's termios2 cannot share a file with <termios.h>.
bool ReadLineRate(int fd, uint32_t* baud);

}  // namespace devsim_internal
