// The programming run: from an open port with the bootloader awake to the
// result line and the reset.
#pragma once

#include "common/run_state.h"
#include "image/image_source.h"
#include "serial/serial_port.h"

// Programs what |selection| decided for |imageArgument| over the open
// port, prints the result, resets the device after a success and closes
// the port on every path, leaving it as |saved| says OpenSerial found it.
// Returns the exit status.
int RunProgramming(PortHandle port, const SavedPortState& saved, const char* imageArgument,
                   const ImageSelection& selection);
