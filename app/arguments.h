// What the command line and the environment decide before a port is
// touched: the activation baud, whether a failed activation may be ignored,
// and how replies are read.
#pragma once

#include <cstdint>
#include <vector>

#include "common/number_text.h"
#include "common/run_state.h"
#include "serial/adapter.h"
#include "serial/serial_port.h"

// The activation baud when the arguments leave it to the port: the rate
// of a recognised adapter's firmware, and that of any other port.
inline constexpr uint32_t kAdapterActivationBaud = 3000000;
inline constexpr uint32_t kDefaultActivationBaud = 115200;

// The activation baud and whether a failed activation may be ignored.
struct ActivationChoice {
  uint32_t baud = 0;
  bool forced = false;
  // No third argument: the port decides (ActivationBaudForPort), and |baud|
  // holds nothing until it has.
  bool byPort = false;
  // The third argument was read as the baud (it is not FORCE), and how.
  bool baudGiven = false;
  NumberReading baudReading{};
};

// The activation baud for a port the arguments leave it to: 3,000,000 for
// a recognised adapter, else 115,200.
uint32_t ActivationBaudForPort(bool knownAdapter);

// Decides the activation from the third and fourth arguments alone (null
// when absent), touching no port and no inventory: a third argument
// FORCE/force forces at 115,200; any other third argument is the baud as
// decimal text; a fourth argument forces as well; without a third argument
// the port decides (byPort).
ActivationChoice ChooseActivationFromArguments(const char* third, const char* fourth);

// Decides the activation from the arguments (argc between 3 and 5), as
// ChooseActivationFromArguments does; when the port decides, it is looked
// up among the known adapters. The lookup asks the system, or |inventory|
// when the caller gives one (see IsKnownAdapterPort).
ActivationChoice ChooseActivation(int argc, const char* const* argv,
                                  const std::vector<InventoryEntry>* inventory = nullptr);

// The reply timing for a port with |traits| and the value of KORVEL_FAST
// (nullptr when it is not set): the stream's for a port whose replies come
// as a stream, whatever the setting; else fast for exactly "1", standard
// for anything else.
ReplyTiming ChooseReplyTiming(const char* fastSetting, const PortTraits& traits);
