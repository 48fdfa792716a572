// The run start: arguments, activation baud, port, bootloader, STOP.
#include "app/run.h"

#include <cstdio>
#include <cstdlib>

#include "bootloader/activation.h"
#include "common/number_text.h"
#include "common/progress.h"
#include "common/report.h"
#include "serial/adapter.h"
#include "serial/serial_port.h"

namespace {

constexpr const char* kVersion = "2.3";
constexpr uint32_t kDefaultBaud = 115200;
constexpr uint32_t kAdapterBaud = 3000000;

}  // namespace

ActivationChoice ChooseActivation(int argc, const char* const* argv,
                                  const std::vector<InventoryEntry>* inventory) {
  ActivationChoice choice;
  if (argc < 4) {
    choice.baud = IsKnownAdapterPort(argv[1], inventory) ? kAdapterBaud : kDefaultBaud;
  } else if (StartsWithKeyword(argv[3], "FORCE", "force")) {
    choice.baud = kDefaultBaud;
    choice.forced = true;
  } else {
    // Not validated: text without leading digits gives 0, which the port
    // setup then refuses.
    choice.baud = ParseUnsignedText(argv[3], 10);
  }
  if (argc > 4) choice.forced = true;
  return choice;
}

int RunKorvel(int argc, const char* const* argv) {
  // 1. Banner, then the argument count.
  std::printf("Version: %s\n", kVersion);
  if (argc < 3 || argc > 5) {
    std::printf("Usage: korvel.exe <COM-Port> <FW_File> [activation baud]\n\n");
    return kExitFailure;
  }

  // 2. From here on a keyboard interrupt must not cut a programming short.
  InstallConsoleCtrlHandler();
  // The progress channel of a program that runs korvel, if it asks for one;
  // taken before the run opens anything (see ProgressChannelOpen).
  ProgressChannelOpen(std::getenv("KORVEL_PROGRESS_FD"));

  // 3. The activation baud, then the port.
  const ActivationChoice choice = ChooseActivation(argc, argv);
  SavedPortState saved;
  const PortHandle port = OpenSerial(argv[1], choice.baud, &saved);
  if (port == kNoPort) {
    ReportFailure("OpenSerial");
    return kExitFailure;
  }

  // 4. Wake the bootloader; a forced run carries on regardless.
  if (!ActivateBootloader(port)) {
    if (!choice.forced) {
      std::printf("Activating the bootloader failed.\n");
      CloseSerial(port, saved);
      return kExitFailure;
    }
    std::printf("Forced bootloader activation.\n");
  }
  std::printf("Bootloader activated.\n");

  // 5. STOP leaves the device in its bootloader: no reset is sent.
  const char* imageArgument = argv[2];
  if (StartsWithKeyword(imageArgument, "STOP", "stop")) {
    CloseSerial(port, saved);
    return kExitSuccess;
  }
  // 6. Everything else is a programming run, which closes the port.
  return RunProgramming(port, saved, imageArgument);
}
