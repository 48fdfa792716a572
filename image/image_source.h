// Where the bytes to program come from: image files, the firmware marker
// check, and the built-in hardware-parameter EEPROM image (run.hwParamImage).
#pragma once

#include <cstdint>

#include "common/image_buffer.h"
#include "common/run_state.h"

// Image files hold at most this many bytes.
inline constexpr uint32_t kMaxImageSize = 0xFFFF;

// What to program: the file at |path|, or the built-in hardware-parameter
// image when |hwParams| points at it (always EEPROM mode).
struct ImageSource {
  const char* path = nullptr;
  const HwParamBlock* hwParams = nullptr;
};

// Gets the image |source| names into |image|, which must hold none: the
// built-in image as it is (borrowed, never freed), or the whole file
// (owned by |image|), which in |firmware| mode must carry the marker (its
// version line is then printed). Returns 1, or 0 after reporting
// "ReadImage" (after ReadImage's own report), "Reading in the data failed"
// (an empty file) or "Wrong image type" (firmware without the marker),
// with |image| empty. Nothing goes to the device here.
int GetImage(const ImageSource& source, bool firmware, ImageBuffer* image);

// Loads the whole file at |path| into a new heap block owned by |image|,
// which must hold none. Returns 1, or 0 after reporting "CreateFile",
// "GetFileInformationByHandle", "File to big" or "Reading in the file
// failed", with |image| empty.
int ReadImage(const char* path, ImageBuffer* image);

// Finds the firmware marker "!Tavlo " wholly inside |image| and prints
// "Flashing firmware version <text>." with the text after it, up to the
// first NUL or the image's end. Returns 1 when found, else 0 printing
// nothing.
int CheckFirmwareImage(const ImageBuffer& image);

// Fills bytes 0-4 of run.hwParamImage from a HWPARM argument of at least 9
// characters: characters 7-8 as a hexadecimal byte, the rest as a decimal
// number.
void SetHwParams(const char* argument);
