// The programming run: mode and source from the image argument, results.
#include <cstdio>
#include <cstring>

#include "app/run.h"
#include "bootloader/programming.h"
#include "common/image_buffer.h"
#include "common/number_text.h"
#include "common/run_state.h"
#include "image/image_source.h"
#include "serial/serial_port.h"

namespace {

// The shortest HWPARM argument: the word, two hex digits, one more character.
constexpr size_t kMinHwParamLength = 9;

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
  return GetImage(source, firmware, &image) && FlashImage(port, image, firmware) ? 1 : 0;
}

}  // namespace

int RunProgramming(PortHandle port, const SavedPortState& saved, const char* imageArgument) {
  // 1. Hardware parameters into the built-in EEPROM image.
  if (StartsWithKeyword(imageArgument, "HWPARM", "hwparm")) {
    if (std::strlen(imageArgument) < kMinHwParamLength) {
      std::printf("HWPARM string not valid\n");
      return CloseAndReturn(port, saved, kExitFailure);
    }
    SetHwParams(imageArgument);
  }

  // 2. Mode and source. Given hardware parameters (byte 0 not 0xFF) always
  // mean the built-in image, which goes to the EEPROM; otherwise a path
  // containing "eeprom.bin" is an EEPROM file and anything else a firmware
  // file.
  const bool hwParamsGiven = run.hwParamImage[0] != 0xFF;
  const bool eepromFile = std::strstr(imageArgument, "eeprom.bin") != nullptr;
  ImageSource source;
  source.path = imageArgument;
  if (hwParamsGiven) source.hwParams = &run.hwParamImage;
  const bool firmware = !hwParamsGiven && !eepromFile;

  // 3. Program and print the result.
  if (firmware) {
    if (!ProgramImage(port, source, true)) {
      std::printf("Written: %d, Read: %d\n", static_cast<int>(run.traffic.written),
                  static_cast<int>(run.traffic.read));
      std::printf("Flashing the firmware image failed.\n");
      return CloseAndReturn(port, saved, kExitFailure);
    }
    std::printf("Firmware flashed.\n");
  } else {
    if (!ProgramImage(port, source, false)) {
      std::printf("Flashing the eeprom image failed.\n");
      return CloseAndReturn(port, saved, kExitFailure);
    }
    std::printf("Eeprom flashed.\n");
  }

  // 4. Let the device leave its bootloader.
  if (!ResetBootloader(port)) {
    std::printf("Resetting the bootloader failed.\n");
    return CloseAndReturn(port, saved, kExitFailure);
  }
  return CloseAndReturn(port, saved, kExitSuccess);
}
