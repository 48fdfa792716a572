// Opening and configuring the port, written once over the platform layer.
#include "common/report.h"
#include "serial/serial_port.h"

PortHandle OpenSerial(const char* portName, uint32_t baud) {
  // 1. Open the device for exclusive use.
  PortHandle port = PortCreate(portName);
  if (port == kNoPort) {
    ReportFailure("CreateFile");
    return kNoPort;
  }

  // 2. Timeouts, then the line settings: read the current ones, make
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
    PortClose(port);
    return kNoPort;
  }

  // 3. Drop whatever waited on the line before this run; the result does
  // not matter.
  PortPurge(port, PurgeWhat::kBoth);
  return port;
}
