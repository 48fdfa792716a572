// The line gate: how the firmware learns the line rate of the bytes it
// receives on a pseudo-terminal.
//
// A pseudo-terminal carries bytes and settings on separate paths. korvel
// writes the activation string and switches to the bootloader's rate a few
// microseconds later, usually before the device thread has even woken, so
// the rate read next to the bytes is already the new one. The firmware
// therefore holds korvel's writes (output flow control on the slave) and
// lets them flow only once the settings have not changed for a settle time
// (DevsimConfig::settleTimeMs, far above the time korvel takes between its
// setup calls, so that the gate stays shut until it has finished),
// reading the rate just before it opens. korvel, held on its first byte,
// cannot change the rate while it waits, so every byte that passes in that
// window was sent at the rate read: a later switch can only follow those
// bytes. The kernel reports each change of the settings through the
// master's packet mode.
//
// The bootloader does without the gate: korvel changes no setting in that
// phase, and the rate read with each read is the rate its bytes came at.
#include <algorithm>

#include "devsim/device.h"

namespace devsim_internal {

namespace {

using std::chrono::milliseconds;

// A gate that sees no byte for this long closes again until the settings
// change, so that a later run, which sets the line up before it writes,
// finds it shut. Longer than any pause korvel makes between the bytes it
// sends in the firmware phase (150 ms between unanswered probes).
constexpr milliseconds kIdleTime{1000};

// Always asks the kernel, even for the state the gate believes it is in: a
// fresh pseudo-terminal flows.
void SetFlowing(Devsim* devsim, bool flowing) {
  devsim->state.gate.flowing = flowing;
  SetSlaveOutputFlowing(devsim->pty, flowing);
}

void RecordGate(Devsim* devsim) {
  const LineGate& gate = devsim->state.gate;
  devsim->record.gateShut = !gate.flowing && !gate.armed;
}

}  // namespace

void GateForFirmware(Devsim* devsim) {
  SetFlowing(devsim, false);
  devsim->state.gate.armed = false;
  RecordGate(devsim);
}

void GateForBootloader(Devsim* devsim) {
  SetFlowing(devsim, true);
  RecordGate(devsim);
}

void GateOnSettingsChanged(Devsim* devsim, DeviceClock::time_point now) {
  if (devsim->state.mode != DeviceMode::kFirmware) return;
  LineGate& gate = devsim->state.gate;
  SetFlowing(devsim, false);
  gate.armed = true;
  gate.lastChange = now;
  RecordGate(devsim);
}

void GateOnBytes(Devsim* devsim, DeviceClock::time_point now) {
  devsim->state.gate.lastByte = now;
}

bool HandleGateTimers(Devsim* devsim, DeviceClock::time_point now) {
  if (devsim->state.mode != DeviceMode::kFirmware) return false;
  LineGate& gate = devsim->state.gate;
  if (!gate.flowing && gate.armed && now >= gate.lastChange + gate.settleTime) {
    // The rate first, then the flow: nothing can pass in between.
    if (!ReadLineRate(devsim->pty.slave, &gate.rate)) gate.rate = 0;
    gate.lastByte = now;
    SetFlowing(devsim, true);
    RecordGate(devsim);
    return true;
  }
  if (gate.flowing && now >= gate.lastByte + kIdleTime) {
    SetFlowing(devsim, false);
    gate.armed = false;
    RecordGate(devsim);
    return true;
  }
  return false;
}

DeviceClock::time_point NextGateDeadline(const DeviceState& state) {
  if (state.mode != DeviceMode::kFirmware) return DeviceClock::time_point::max();
  const LineGate& gate = state.gate;
  if (gate.flowing) return gate.lastByte + kIdleTime;
  if (gate.armed) return gate.lastChange + gate.settleTime;
  return DeviceClock::time_point::max();
}

}  // namespace devsim_internal
