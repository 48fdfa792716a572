// The simulated device: plays a device with its running firmware and its
// bootloader on a pseudo-terminal, so korvel can be run and tested without
// hardware. It follows the device's side of the wire exactly, can inject
// faults, and records what it received.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "devsim/records.h"

// --- The device -----------------------------------------------------------

struct Devsim;  // defined in device.h; owns the pseudo-terminal and the thread

// Opens a pseudo-terminal and starts playing the device on a thread of its
// own. Returns nullptr (with errno set) when no pseudo-terminal can be had.
//
// While the device runs its firmware (at the start and after each reset) it
// holds the line's input with flow control and lets bytes through only once
// the line settings have been quiet for 5 ms: that is how it knows the rate
// each byte was sent at. A client must therefore set the line up (any
// tcsetattr, as korvel does when it opens the port) before it writes to the
// firmware; its writes wait until then. The bootloader never holds the line.
Devsim* StartDevsim(const DevsimConfig& config);

// The path korvel opens: the pseudo-terminal's slave side (/dev/pts/N).
std::string DevsimPortPath(const Devsim* devsim);

// A copy of what the device has seen so far; safe while it runs.
DevsimRecord DevsimSnapshot(Devsim* devsim);

// Waits until |done| holds for what the device has seen, or |timeoutMs|
// passes. |done| runs under the device's lock and must not call back into
// the device. Returns whether |done| held. Use it instead of sleeping, e.g.
// to wait for the reset after korvel has exited.
bool DevsimWaitUntil(Devsim* devsim, const std::function<bool(const DevsimRecord&)>& done,
                     int timeoutMs);

// A descriptor that turns readable whenever the record changes or the
// device ends (an eventfd; read 8 bytes to clear it). For poll() loops.
int DevsimChangeFd(const Devsim* devsim);

// Stops the device thread, closes the pseudo-terminal and frees |devsim|.
// Does nothing for nullptr.
void StopDevsim(Devsim* devsim);

// Owns a running device: stops it when it goes out of scope.
struct DevsimStopper {
  void operator()(Devsim* devsim) const { StopDevsim(devsim); }
};
using DevsimPtr = std::unique_ptr<Devsim, DevsimStopper>;
