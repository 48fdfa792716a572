// The run start: arguments, activation baud, port, bootloader, STOP.
#include "app/run.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bootloader/activation.h"
#include "common/progress.h"
#include "common/report.h"
#include "common/run_state.h"
#include "image/image_source.h"
#include "serial/serial_port.h"

namespace {

constexpr const char* kVersion = "2.3";

}  // namespace

ReplyTiming ChooseReplyTiming(const char* fastSetting, const PortTraits& traits) {
  if (traits.streamedReplies) return ReplyTiming::kStream;
  return fastSetting != nullptr && std::strcmp(fastSetting, "1") == 0 ? ReplyTiming::kFast
                                                                      : ReplyTiming::kStandard;
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

  // 3. How replies are read and how much one write carries, asked once for
  // the whole run: the environment may shorten the wait after each reply
  // (KORVEL_FAST=1), a network port reads and writes as a stream; the
  // output, the statuses and the arguments stay the same either way.
  const PortTraits traits = PortTraitsFor(argv[1]);
  run.replyTiming = ChooseReplyTiming(std::getenv("KORVEL_FAST"), traits);
  run.bytesPerWrite = traits.bytesPerWrite;

  // 4. The activation baud, then the port.
  const ActivationChoice choice = ChooseActivation(argc, argv);
  SavedPortState saved;
  const PortHandle port = OpenSerial(argv[1], choice.baud, &saved);
  if (port == kNoPort) {
    ReportFailure("OpenSerial");
    return kExitFailure;
  }

  // 5. Wake the bootloader; a forced run carries on regardless.
  if (!ActivateBootloader(port)) {
    if (!choice.forced) {
      std::printf("Activating the bootloader failed.\n");
      CloseSerial(port, saved);
      return kExitFailure;
    }
    std::printf("Forced bootloader activation.\n");
  }
  std::printf("Bootloader activated.\n");

  // 6. STOP leaves the device in its bootloader: no reset is sent.
  const char* imageArgument = argv[2];
  if (IsStopArgument(imageArgument)) {
    CloseSerial(port, saved);
    return kExitSuccess;
  }
  // 7. Everything else is a programming run, which closes the port.
  return RunProgramming(port, saved, imageArgument);
}
