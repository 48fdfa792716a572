// Where the bytes to program come from: what the image argument selects,
// image files, the firmware marker check, and the built-in
// hardware-parameter EEPROM image (run.hwParamImage). The deciding pieces
// print nothing and touch no device, so that a dry run can ask them too.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "common/image_buffer.h"
#include "common/number_text.h"
#include "common/run_state.h"

// Image files hold at most this many bytes.
inline constexpr uint32_t kMaxImageSize = 0xFFFF;

// The shortest HWPARM argument: the word, two hex digits, one more character.
inline constexpr size_t kMinHwParamLength = 9;

// What to program: the file at |path|, or the built-in hardware-parameter
// image when |hwParams| points at it (always EEPROM mode).
struct ImageSource {
  const char* path = nullptr;
  const HwParamBlock* hwParams = nullptr;
};

// The five hardware-parameter bytes a HWPARM argument reads as, and how
// their two readings went.
struct HwParamReading {
  std::array<uint8_t, 5> bytes{};  // parameter byte, then the number LSB first
  std::string parameterText;       // "0x" and characters 7-8, as read in base 16
  NumberReading parameter;         // of parameterText
  NumberReading number;            // of the text from character 9 on
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

// True for a STOP word (STOP/stop and anything longer that begins with it).
bool IsStopArgument(const char* imageArgument);

// Decides what |imageArgument| selects: STOP; a HWPARM word too short to
// use; the built-in image in EEPROM mode when a HWPARM word gives a
// parameter byte other than 0xFF; else an EEPROM file when the argument
// contains "eeprom.bin" (anywhere, exact case); else a firmware file.
void SelectImage(const char* imageArgument, ImageSelection* selection);

// Gets the image |source| names into |image|, which must hold none: the
// built-in image as it is (borrowed, never freed), or the whole file
// (owned by |image|), which in |firmware| mode must carry the marker (its
// version line is then printed). Returns 1, or 0 after reporting
// "ReadImage" (after ReadImage's own report), "Reading in the data failed"
// (an empty file) or "Wrong image type" (firmware without the marker),
// with |image| empty. Nothing goes to the device here.
int GetImage(const ImageSource& source, bool firmware, ImageBuffer* image);

// Loads the whole file at |path| into a new heap block owned by |image|,
// which must hold none. Returns 1; or 0 with |image| empty, the system's
// error code left as the failing step set it, and that step's name in
// |failedStep|: "CreateFile", "GetFileInformationByHandle", "File to big"
// or "Reading in the file failed". Prints nothing.
int LoadImageFile(const char* path, ImageBuffer* image, const char** failedStep);

// LoadImageFile, reporting the failing step.
int ReadImage(const char* path, ImageBuffer* image);

// Finds the firmware marker "!Tavlo " wholly inside |image| and puts the
// text after it, up to the first NUL or the image's end, into |version|,
// with control bytes as '?' so that it prints as one line. Returns 1 when
// found, else 0. Prints nothing.
int FindFirmwareVersion(const ImageBuffer& image, std::string* version);

// FindFirmwareVersion, printing "Flashing firmware version <text>." when
// the marker is there. Returns 1 when found, else 0 printing nothing.
int CheckFirmwareImage(const ImageBuffer& image);

// Reads a HWPARM argument of at least 9 characters: characters 7-8 as a
// hexadecimal byte, the rest as a decimal number. Writes only |reading|.
void ReadHwParams(const char* argument, HwParamReading* reading);

// Fills bytes 0-4 of run.hwParamImage as ReadHwParams reads |argument|.
void SetHwParams(const char* argument);
