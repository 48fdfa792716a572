// Opening, configuring and closing the port, written once over the platform
// layer.
#include "common/report.h"
#include "common/system.h"
#include "serial/serial_port.h"

PortHandle OpenSerial(const char* portName, uint32_t baud, SavedPortState* saved) {
  // 1. Open the device for exclusive use.
  PortHandle port = PortCreate(portName);
  if (port == kNoPort) {
    ReportFailure("CreateFile");
    return kNoPort;
  }

  // 2. Keep what the port is like before anything changes it: a run leaves
  // nothing behind.
  PortSaveState(port, saved);

  // 3. Timeouts, then the line settings: read the current ones, make
  // them raw 8N1, put in the baud and the fields the tool owns, apply.
  const char* failedStep = nullptr;
  LineState state;
  if (!PortSetTimeouts(port)) {
    failedStep = "SetCommTimeouts";
  } else if (!PortGetState(port, &state)) {
    failedStep = "GetCommState";
  } else if (!PortBuildState(&state)) {
    failedStep = "BuildCommDCB";
  } else {
    PortSetLineFields(&state, baud);
    if (!PortSetState(port, state)) failedStep = "SetCommState";
  }
  if (failedStep != nullptr) {
    ReportFailure(failedStep);
    CloseSerial(port, *saved);  // what the steps before the failure changed goes back
    return kNoPort;
  }

  // 4. Drop whatever waited on the line before this run; the result does
  // not matter.
  PortPurge(port, PurgeWhat::kBoth);
  return port;
}

void CloseSerial(PortHandle port, const SavedPortState& saved) {
  // A report printed after the close shows the error of the step that
  // failed, not one of these calls.
  SystemErrorGuard keepError;

  // 1. Let what was written leave at the rate it was written at: the reset
  // message must reach the device at 115,200 before the rate goes back.
  // Bytes that can't leave (a held line) are dropped instead, so that the
  // close itself does not wait for them (Linux would, for up to 30 s).
  if (!WaitUntilSent(port)) PortPurge(port, PurgeWhat::kBoth);

  // 2. The settings as found, then the port is free again.
  PortRestoreState(port, saved);
  PortClose(port);
}
