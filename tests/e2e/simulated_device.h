// The simulated device for one test: started with its faults, stopped when
// the test ends, and waited on for what it should have seen.
#pragma once

#include <gtest/gtest.h>
#include <termios.h>

#include <chrono>
#include <functional>
#include <string>

#include "devsim/devsim.h"

namespace korvel_e2e {

class SimulatedDevice {
 public:
  // Starts the device; throws when no pseudo-terminal can be had.
  explicit SimulatedDevice(const DevsimConfig& config = {});
  ~SimulatedDevice();
  SimulatedDevice(const SimulatedDevice&) = delete;
  SimulatedDevice& operator=(const SimulatedDevice&) = delete;

  // The port to give korvel (/dev/pts/N).
  std::string port() const;

  DevsimRecord Snapshot() const;

  // Waits until |done| holds for what the device has seen, or |limit| has
  // passed; returns the last record either way, so the caller's assertions
  // show what was missing. For things the device must still receive after
  // korvel has ended (its last bytes may not have been read yet).
  DevsimRecord WaitFor(const std::function<bool(const DevsimRecord&)>& done,
                       std::chrono::milliseconds limit = std::chrono::milliseconds(3000)) const;

  // Waits until the device has stopped taking anything in, and returns what
  // it saw. For checks of what must NOT have arrived once korvel has ended:
  // whatever it sent is already on the line by then, so a device that stays
  // quiet for a while has read it all.
  DevsimRecord Settled() const;

 private:
  DevsimPtr devsim_;
};

// A device configuration with only probe faults.
DevsimConfig WithProbeFaults(const ProbeFaults& faults);

// A short account of a record for assertion messages.
std::string Describe(const DevsimRecord& record);

// Leaves |port| as another program may leave it: line editing, echo, CR/LF
// translation, software flow control, bit 7 stripped, reads that wait for
// time rather than bytes. korvel must carry every byte unchanged in both
// directions regardless.
void LeavePortCooked(const std::string& port);

// The line settings of |port| as any program that opens it sees them (what
// stty shows), rate codes included.
termios PortSettings(const std::string& port);

// Success when |port| has the settings |found| again, but for HUPCL, which
// korvel leaves off. Native runs only: under Wine the Windows build puts
// back a DCB, which Wine's serial layer turns into settings of its own.
::testing::AssertionResult SettingsAsFound(const std::string& port, const termios& found);

}  // namespace korvel_e2e
