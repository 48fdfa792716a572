// The programming run: mode and source from the image argument, results.
#include "app/programming_run.h"

#include <cstdio>

#include "app/exit_status.h"
#include "bootloader/activation.h"
#include "bootloader/programming.h"
#include "bootloader/run_time.h"
#include "common/image_buffer.h"
#include "common/progress.h"
#include "common/report.h"
#include "common/result_lines.h"
#include "common/run_state.h"
#include "image/image_source.h"
#include "serial/serial_port.h"

namespace {

// Closes the port and passes the status on, so every result path reads as
// one statement.
int CloseAndReturn(PortHandle port, const SavedPortState& saved, int status) {
  CloseSerial(port, saved);
  return status;
}

// Gets the image |source| names and programs it; a loaded file is freed on
// the way out. Nothing is sent when the image can't be had.
int ProgramImage(PortHandle port, const ImageSource& source, bool firmware) {
  ImageBuffer image;
  if (!GetImage(source, firmware, &image)) return 0;
  // The line's time left before a rate is measured: the least time on the
  // line at the bootloader's rate, the wake-up done.
  const RunTimeEstimate estimate =
      EstimateRunTime(image.length, kBootloaderBaud, 0, run.replyTiming);
  ProgressExpect(estimate.TotalSeconds() - estimate.activationSeconds);
  return FlashImage(port, image, firmware);
}

}  // namespace

int RunProgramming(PortHandle port, const SavedPortState& saved, const char* imageArgument,
                   const ImageSelection& selection) {
  // 1. A HWPARM word too short to read is refused.
  if (selection.hwParamTooShort) {
    PrintResultLine(kLineHwParamInvalid);
    return CloseAndReturn(port, saved, kExitFailure);
  }

  // 2. Mode and source: the hardware parameters go into the built-in EEPROM
  // image, which is then the source; otherwise the file the argument names.
  if (selection.hwParamWord) FillHwParamImage(selection.hwParams);
  ImageSource source;
  source.path = imageArgument;
  if (selection.builtIn) source.hwParams = &run.hwParamImage;
  const bool firmware = selection.firmware;

  // 3. Program and print the result.
  if (firmware) {
    if (!ProgramImage(port, source, true)) {
      std::printf("Written: %d, Read: %d\n", static_cast<int>(run.traffic.written),
                  static_cast<int>(run.traffic.read));
      PrintResultLine(kLineFirmwareFailed);
      return CloseAndReturn(port, saved, kExitFailure);
    }
    PrintResultLine(kLineFirmwareFlashed);
  } else {
    if (!ProgramImage(port, source, false)) {
      PrintResultLine(kLineEepromFailed);
      return CloseAndReturn(port, saved, kExitFailure);
    }
    PrintResultLine(kLineEepromFlashed);
  }

  // 4. Let the device leave its bootloader.
  if (!ResetBootloader(port)) {
    PrintResultLine(kLineResetFailed);
    return CloseAndReturn(port, saved, kExitFailure);
  }
  return CloseAndReturn(port, saved, kExitSuccess);
}
