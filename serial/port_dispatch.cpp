// The one place that asks which kind of port a handle is: each primitive
// goes to the network port for the open rfc2217:// port and to this
// machine's own serial port for every other.
#include "serial/local_port.h"
#include "serial/network_name.h"
#include "serial/network_port.h"
#include "serial/serial_port.h"

PortTraits PortTraitsFor(const char* portName) {
  PortTraits traits;
  if (IsNetworkPortName(portName)) {
    traits.bytesPerWrite = kNetworkWriteSize;
    traits.streamedReplies = true;
  }
  return traits;
}

std::string PortDevicePath(const char* portName) {
  return IsNetworkPortName(portName) ? std::string(portName) : LocalPortDevicePath(portName);
}

PortHandle PortCreate(const char* portName) {
  return IsNetworkPortName(portName) ? NetworkPortCreate(portName) : LocalPortCreate(portName);
}

void PortSaveState(PortHandle port, SavedPortState* saved) {
  // A network port's settings belong to its server, which takes them back
  // when the connection ends: nothing to keep.
  if (!NetworkPortOwns(port)) LocalPortSaveState(port, saved);
}

void PortRestoreState(PortHandle port, const SavedPortState& saved) {
  if (!NetworkPortOwns(port)) LocalPortRestoreState(port, saved);
}

int PortSetTimeouts(PortHandle port) {
  // The network port times its reads itself.
  return NetworkPortOwns(port) ? 1 : LocalPortSetTimeouts(port);
}

int PortGetState(PortHandle port, LineState* state) {
  if (!NetworkPortOwns(port)) return LocalPortGetState(port, state);
  // Only the rate means anything to a network port; PortBuildState makes
  // the rest raw 8N1 as for a local one.
  uint32_t baud = 0;
  if (!NetworkPortGetBaud(port, &baud)) return 0;
  *state = LineState{};
  PortSetBaud(state, baud);
  return 1;
}

int PortSetState(PortHandle port, const LineState& state) {
  return NetworkPortOwns(port) ? NetworkPortSetBaud(port, LineStateBaud(state))
                               : LocalPortSetState(port, state);
}

int PortPendingOutput(PortHandle port, uint32_t* bytes) {
  if (!NetworkPortOwns(port)) return LocalPortPendingOutput(port, bytes);
  // Whatever is on its way is the drain's business (NetworkPortDrain).
  *bytes = 0;
  return 1;
}

int PortDrain(PortHandle port) {
  return NetworkPortOwns(port) ? NetworkPortDrain(port) : LocalPortDrain(port);
}

void PortPurge(PortHandle port, PurgeWhat what) {
  if (NetworkPortOwns(port)) {
    NetworkPortPurge(port, what);
  } else {
    LocalPortPurge(port, what);
  }
}

int PortWrite(PortHandle port, std::span<const uint8_t> bytes, uint32_t* written) {
  return NetworkPortOwns(port) ? NetworkPortWrite(port, bytes, written)
                               : LocalPortWrite(port, bytes, written);
}

int PortRead(PortHandle port, std::span<uint8_t> buffer, uint32_t* got) {
  return NetworkPortOwns(port) ? NetworkPortRead(port, buffer, got)
                               : LocalPortRead(port, buffer, got);
}

int PortReadWaiting(PortHandle port, std::span<uint8_t> buffer, std::chrono::nanoseconds wait,
                    uint32_t* got) {
  return NetworkPortOwns(port) ? NetworkPortReadWaiting(port, buffer, wait, got)
                               : LocalPortReadWaiting(port, buffer, wait, got);
}

void PortClose(PortHandle port) {
  if (NetworkPortOwns(port)) {
    NetworkPortClose(port);
  } else {
    LocalPortClose(port);
  }
}
