// The run start: arguments, activation baud, port, bootloader, STOP.
#include "app/run.h"

#include <cstdio>
#include <cstdlib>

#include "app/arguments.h"
#include "app/console.h"
#include "app/programming_run.h"
#include "app/terminal_notes.h"
#include "bootloader/activation.h"
#include "common/interrupts.h"
#include "common/progress.h"
#include "common/report.h"
#include "common/result_lines.h"
#include "common/run_state.h"
#include "common/system.h"
#include "image/image_source.h"
#include "serial/serial_port.h"

namespace {

constexpr const char* kVersion = "2.3";

// The run on the port, from the activation baud to the exit status.
int RunOnPort(int argc, const char* const* argv, const ImageSelection& selection) {
  // 1. The activation baud, then the port.
  const ActivationChoice choice = ChooseActivation(argc, argv);
  SavedPortState saved;
  const PortHandle port = OpenSerial(argv[1], choice.baud, &saved);
  if (port == kNoPort) {
    ReportFailure("OpenSerial");
    return kExitFailure;
  }

  // 2. Wake the bootloader; a forced run carries on regardless, unless it
  // was asked to stop.
  if (!ActivateBootloader(port)) {
    if (!choice.forced || StopRequested()) {
      PrintResultLine(kLineActivationFailed);
      CloseSerial(port, saved);
      return kExitFailure;
    }
    PrintResultLine(kLineForcedActivation);
  }
  PrintResultLine(kLineBootloaderActivated);

  // 3. STOP leaves the device in its bootloader: no reset is sent.
  if (selection.stop) {
    CloseSerial(port, saved);
    return kExitSuccess;
  }
  // 4. Everything else is a programming run, which closes the port.
  return RunProgramming(port, saved, argv[2], selection);
}

}  // namespace

int RunKorvel(int argc, const char* const* argv) {
  // 1. Banner, then the argument count.
  std::printf("Version: %s\n", kVersion);
  if (argc < 3 || argc > 5) {
    std::printf("%s\n\n", kLineUsage);
    return kExitFailure;
  }

  // 2. From here on a keyboard interrupt must not cut a programming short,
  // and a stop request ends the run at its next safe point.
  InstallConsoleCtrlHandler();
  // The progress channel of a program that runs korvel, if it asks for one;
  // taken before the run opens anything (see ProgressChannelOpen).
  ProgressChannelOpen(std::getenv("KORVEL_PROGRESS_FD"));
  // A parent that can't send SIGTERM (Windows) may ask the run to end
  // through an event instead.
  WatchParentStopEvent(std::getenv("KORVEL_STOP_HANDLE"));

  // 3. How replies are read and how much one write carries, asked once for
  // the whole run: the environment may shorten the wait after each reply
  // (KORVEL_FAST=1), a network port reads and writes as a stream; the
  // output, the statuses and the arguments stay the same either way.
  const PortTraits traits = PortTraitsFor(argv[1]);
  run.replyTiming = ChooseReplyTiming(std::getenv("KORVEL_FAST"), traits);
  run.bytesPerWrite = traits.bytesPerWrite;

  // 4. What the image argument selects, decided once for the notes and the
  // run; then the run, with notes for a person at a terminal before and
  // after it.
  ImageSelection selection;
  SelectImage(argv[2], &selection);
  const bool onTerminal = StandardErrorIsTerminal();
  if (onTerminal) PrintImageArgumentNotes(argv[2], selection);
  const int status = RunOnPort(argc, argv, selection);
  if (onTerminal && status != kExitSuccess) PrintFailureExplanation(argv[1], argv[2]);
  return status;
}
