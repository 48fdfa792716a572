// The run start: arguments, activation baud, port, bootloader, STOP.
#include "app/run.h"

#include <cstdio>

#include "bootloader/activation.h"
#include "common/report.h"
#include "image/image_source.h"
#include "serial/serial_port.h"

namespace {

constexpr const char* kVersion = "2.3";

}  // namespace

int RunKorvel(int argc, const char* const* argv) {
  // 1. Banner, then the argument count.
  std::printf("Version: %s\n", kVersion);
  if (argc < 3 || argc > 5) {
    std::printf("Usage: korvel.exe <COM-Port> <FW_File> [activation baud]\n\n");
    return kExitFailure;
  }

  // 2. From here on a keyboard interrupt must not cut a programming short.
  InstallConsoleCtrlHandler();

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
  if (IsStopArgument(imageArgument)) {
    CloseSerial(port, saved);
    return kExitSuccess;
  }
  // 6. Everything else is a programming run, which closes the port.
  return RunProgramming(port, saved, imageArgument);
}
