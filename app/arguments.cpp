// What the arguments and the environment decide before a port is touched:
// the activation baud, whether a failed activation may be ignored, and the
// reply timing.
#include "app/arguments.h"

#include <cstdint>
#include <cstring>

#include "common/number_text.h"
#include "serial/adapter.h"

uint32_t ActivationBaudForPort(bool knownAdapter) {
  return knownAdapter ? kAdapterActivationBaud : kDefaultActivationBaud;
}

ActivationChoice ChooseActivationFromArguments(const char* third, const char* fourth) {
  ActivationChoice choice;
  if (third == nullptr) {
    choice.byPort = true;
  } else if (StartsWithKeyword(third, "FORCE", "force")) {
    choice.baud = kDefaultActivationBaud;
    choice.forced = true;
  } else {
    // Not validated: text without leading digits gives 0, which the port
    // setup then refuses.
    choice.baud = ReadUnsignedText(third, 10, &choice.baudReading);
    choice.baudGiven = true;
  }
  if (fourth != nullptr) choice.forced = true;
  return choice;
}

ActivationChoice ChooseActivation(int argc, const char* const* argv,
                                  const std::vector<InventoryEntry>* inventory) {
  ActivationChoice choice =
      ChooseActivationFromArguments(argc > 3 ? argv[3] : nullptr, argc > 4 ? argv[4] : nullptr);
  if (choice.byPort) choice.baud = ActivationBaudForPort(IsKnownAdapterPort(argv[1], inventory));
  return choice;
}

ReplyTiming ChooseReplyTiming(const char* fastSetting, const PortTraits& traits) {
  if (traits.streamedReplies) return ReplyTiming::kStream;
  return fastSetting != nullptr && std::strcmp(fastSetting, "1") == 0 ? ReplyTiming::kFast
                                                                      : ReplyTiming::kStandard;
}
