// The command-line driver: from the arguments to the exit status.
#pragma once

#include <cstdint>
#include <vector>

#include "common/run_state.h"
#include "serial/adapter.h"
#include "serial/serial_port.h"

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = -1;

// The activation baud and whether a failed activation may be ignored.
struct ActivationChoice {
  uint32_t baud = 0;
  bool forced = false;
};

// Decides the activation from the arguments (argc between 3 and 5): a third
// argument FORCE/force forces at 115,200; any other third argument is the
// baud as decimal text; a fourth argument forces as well; without a third
// argument the port is looked up among the known adapters (3,000,000 baud)
// and otherwise gets 115,200. The lookup asks the system, or |inventory|
// when the caller gives one (see IsKnownAdapterPort).
ActivationChoice ChooseActivation(int argc, const char* const* argv,
                                  const std::vector<InventoryEntry>* inventory = nullptr);

// The reply timing that the value of KORVEL_FAST asks for (nullptr when
// it is not set): fast for exactly "1", standard for anything else.
ReplyTiming ChooseReplyTiming(const char* fastSetting);

// The whole run: banner, argument check, activation, STOP or programming.
// Returns the exit status, 0 or -1.
int RunKorvel(int argc, const char* const* argv);

// Programs what |imageArgument| selects over the open port, prints the
// result, resets the device after a success and closes the port on every
// path, leaving it as |saved| says OpenSerial found it. Returns the exit
// status.
int RunProgramming(PortHandle port, const SavedPortState& saved, const char* imageArgument);

// Makes standard output deliver each line as it is printed, also into a
// pipe, so a script sees progress as it happens and lines keep their order.
void SetUpStandardOutput();

// Makes keyboard interrupts (Ctrl+C, Ctrl+Break) unable to end the run.
void InstallConsoleCtrlHandler();
