// Where the bytes to program come from: image files, the firmware marker
// check, and the built-in hardware-parameter EEPROM image.
#pragma once

#include <array>
#include <cstdint>

#include "common/image_buffer.h"

// Image files hold at most this many bytes.
inline constexpr uint32_t kMaxImageSize = 0xFFFF;

// The built-in 512-byte EEPROM image: byte 0 the hardware parameter byte,
// bytes 1-4 a 32-bit number (least significant byte first), 0xFF up to
// offset 255 and 0x00 from 256 on. Bytes 0-4 are 0xFF until SetHwParams.
using HwParamBlock = std::array<uint8_t, 512>;
extern HwParamBlock HwParamImage;

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

// Fills bytes 0-4 of HwParamImage from a HWPARM argument of at least 9
// characters: characters 7-8 as a hexadecimal byte, the rest as a decimal
// number.
void SetHwParams(const char* argument);
