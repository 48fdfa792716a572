// Inside the simulated device: the record shared with the API under a lock,
// and the state that only the device thread touches. Not for callers of
// devsim.h.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "devsim/frames.h"
#include "devsim/pacing.h"
#include "devsim/pty.h"
#include "devsim/records.h"

namespace devsim_internal {

inline constexpr std::array<uint8_t, 10> kActivationString = {'4', '1', '8', '\r', 'K',
                                                              'W', 'O', 'L', 'P',  '\r'};

enum class DeviceMode { kFirmware, kBootloader };

// Bytes the device will write with one write() call once |due| has come.
struct PendingBurst {
  std::vector<uint8_t> bytes;
  DeviceClock::time_point due;
};

// How the firmware holds korvel's writes so that it knows the line rate of
// every byte it receives; see line_gate.cpp.
struct LineGate {
  bool flowing = false;
  bool armed = false;  // the settings changed since the gate last closed
  DeviceClock::time_point lastChange{};
  DeviceClock::time_point lastByte{};
  uint32_t rate = 0;  // the line rate read just before the gate opened
  // Quiet after the last settings change before the tool's bytes may flow
  // (DevsimConfig::settleTimeMs).
  DeviceClock::duration settleTime{};
};

// What the device thread alone works with.
struct DeviceState {
  DeviceMode mode = DeviceMode::kFirmware;
  LineGate gate;
  // The last bytes the firmware received, and the line rate at which each
  // of them was read, oldest first.
  std::array<uint8_t, kActivationString.size()> window{};
  std::array<uint32_t, kActivationString.size()> windowRates{};
  uint32_t windowFill = 0;

  FrameParser parser;
  DeviceClock::time_point frameDeadline{};  // while a frame is in progress
  int messageIndex = 0;                     // framed messages of this session
  int sessionProbes = 0;

  // The two directions of the line, for a paced device, and the rate of
  // the last byte the bootloader heard, which its answers go out at.
  Wire receiveWire;
  Wire transmitWire;
  uint32_t answerRate = 0;

  std::deque<PendingBurst> output;
  bool outputBlocked = false;  // the last write took less than offered
  bool lateAnswerPending = false;
  DeviceClock::time_point lateAnswerDue{};
  // After a reset: settings changes are to be reported again from then on.
  bool reportSettingsPending = false;
  DeviceClock::time_point reportSettingsDue{};

  bool flooding = false;
  uint32_t floodSeed = 1;
  bool readingStopped = false;
  bool vanishRequested = false;
  // A reply-then-vanish fault: vanish once the reply is out and read.
  bool vanishOnceRead = false;
  DeviceClock::time_point vanishNotBefore{};
  uint32_t messageBytes = 0;  // of a message that vanishes midway, so far
};

}  // namespace devsim_internal

// The device behind the handle of devsim.h.
struct Devsim {
  DevsimConfig config;
  devsim_internal::PtyPair pty;
  std::string path;   // kept after the device vanished
  int wakeFd = -1;    // eventfd: StopDevsim wakes the device loop
  int changeFd = -1;  // eventfd: signalled whenever the record changes
  std::thread thread;

  std::mutex mutex;  // guards |record| and |ended|
  std::condition_variable changed;
  DevsimRecord record;
  bool ended = false;  // the device loop has finished

  devsim_internal::DeviceState state;  // device thread only
};

namespace devsim_internal {

// Adds a burst to write with one write() call at |due|.
void QueueBurst(DeviceState* state, std::vector<uint8_t> bytes, DeviceClock::time_point due);

// Feeds bytes that one read returned at |readAt|; |lineRate| is the rate
// read with them (the firmware goes by the gate's rate instead). Called by
// the device thread with |devsim->mutex| held.
void FeedDeviceBytes(Devsim* devsim, std::span<const uint8_t> bytes, uint32_t lineRate,
                     DeviceClock::time_point readAt);

// The line gate (line_gate.cpp). The firmware holds korvel's writes until
// the line settings have been quiet for a moment; the bootloader lets them
// flow freely.
void GateForFirmware(Devsim* devsim);
void GateForBootloader(Devsim* devsim);
void GateOnSettingsChanged(Devsim* devsim, DeviceClock::time_point now);
void GateOnBytes(Devsim* devsim, DeviceClock::time_point now);
// Returns whether the gate opened or closed (DevsimRecord::gateShut).
bool HandleGateTimers(Devsim* devsim, DeviceClock::time_point now);
DeviceClock::time_point NextGateDeadline(const DeviceState& state);

// Acts on timers that have run out by |now|: drops a frame left incomplete,
// sends a late sync answer. Returns whether anything happened. Called with
// |devsim->mutex| held.
bool HandleDeviceTimers(Devsim* devsim, DeviceClock::time_point now);

// The earliest moment at which the device has something to do without new
// input, or DeviceClock::time_point::max().
DeviceClock::time_point NextDeviceDeadline(const DeviceState& state);

}  // namespace devsim_internal
