// The serial port of this machine: the platform's own implementation of
// the port primitives (port_posix.cpp or port_win32.cpp, picked by the
// build), which port_dispatch.cpp forwards to for every port that is not a
// network port. Each does what serial_port.h says of the primitive of the
// same name without "Local".
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>

#include "serial/serial_port.h"

std::string LocalPortDevicePath(const char* portName);
PortHandle LocalPortCreate(const char* portName);
void LocalPortSaveState(PortHandle port, SavedPortState* saved);
void LocalPortRestoreState(PortHandle port, const SavedPortState& saved);
int LocalPortSetTimeouts(PortHandle port);
int LocalPortGetState(PortHandle port, LineState* state);
int LocalPortSetState(PortHandle port, const LineState& state);
int LocalPortPendingOutput(PortHandle port, uint32_t* bytes);
int LocalPortDrain(PortHandle port);
void LocalPortPurge(PortHandle port, PurgeWhat what);
int LocalPortWrite(PortHandle port, std::span<const uint8_t> bytes, uint32_t* written);
int LocalPortRead(PortHandle port, std::span<uint8_t> buffer, uint32_t* got);
int LocalPortReadWaiting(PortHandle port, std::span<uint8_t> buffer, std::chrono::nanoseconds wait,
                         uint32_t* got);
void LocalPortClose(PortHandle port);

// The rate |state| asks for, as PortSetBaud or PortSetLineFields put it in.
uint32_t LineStateBaud(const LineState& state);
