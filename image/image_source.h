// What the image argument selects, and getting the bytes a run programs:
// an image file (with the firmware marker check for the flash) or the
// built-in hardware-parameter EEPROM image (run.hwParamImage). The deciding
// pieces print nothing and touch no device, so that a dry run can ask them
// too.
#pragma once

#include "common/image_buffer.h"
#include "common/run_state.h"
#include "image/hwparam.h"

// What to program: the file at |path|, or the built-in hardware-parameter
// image when |hwParams| points at it (always EEPROM mode).
struct ImageSource {
  const char* path = nullptr;
  const HwParamBlock* hwParams = nullptr;
};

// What an image argument selects, decided from its text alone.
struct ImageSelection {
  bool stop = false;             // a STOP word: nothing is programmed
  bool hwParamWord = false;      // begins with HWPARM/hwparm
  bool hwParamTooShort = false;  // ... and is shorter than kMinHwParamLength
  HwParamReading hwParams{};     // read when a HWPARM word is long enough
  bool builtIn = false;          // the built-in image (parameter byte not 0xFF)
  bool eepromInPath = false;     // the argument contains "eeprom.bin"
  bool firmware = false;         // the flash, from a file with the marker
};

// Decides what |imageArgument| selects: STOP (STOP/stop and anything longer
// that begins with it); a HWPARM word too short to use; the built-in image
// in EEPROM mode when a HWPARM word gives a parameter byte other than 0xFF;
// else an EEPROM file when the argument contains "eeprom.bin" (anywhere,
// exact case); else a firmware file.
void SelectImage(const char* imageArgument, ImageSelection* selection);

// Gets the image |source| names into |image|, which must hold none: the
// built-in image as it is (borrowed, never freed), or the whole file
// (owned by |image|), which in |firmware| mode must carry the marker (its
// version line is then printed). Returns 1, or 0 after reporting
// "ReadImage" (after ReadImage's own report), "Reading in the data failed"
// (an empty file) or "Wrong image type" (firmware without the marker),
// with |image| empty. Nothing goes to the device here.
int GetImage(const ImageSource& source, bool firmware, ImageBuffer* image);
