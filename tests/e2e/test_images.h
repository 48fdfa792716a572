// Image contents for the programming tests, and the frames the device should
// receive for them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "devsim/devsim.h"

namespace korvel_e2e {

using Bytes = std::vector<uint8_t>;

// What wakes the device's bootloader.
inline const Bytes kActivationString = {'4', '1', '8', '\r', 'K', 'W', 'O', 'L', 'P', '\r'};

// The firmware marker as it appears in an image, without the version text.
inline const std::string kMarker = "!Tavlo ";

// |size| bytes that cover the byte values a line setting could corrupt (CR,
// LF, XON, XOFF, NUL, the frame's start and token bytes, the terminal's
// control characters) and then every byte value in turn. No marker.
Bytes PatternImage(size_t size);

// A firmware image of |size| bytes: the pattern with the marker, |version|
// and a NUL at offset |markerAt|, or further to the front where the image
// is too short for that. |size| must leave room for them.
Bytes FirmwareImage(size_t size, const std::string& version = "2.4", size_t markerAt = 16);

// |bytes| with |text| written over it at |offset|; throws when it does not
// fit.
Bytes Overwrite(Bytes bytes, size_t offset, const std::string& text);

// The built-in 512-byte EEPROM image after a HWPARM argument with the
// parameter byte |parameter| and the number |number|.
Bytes HwParamImageWith(uint8_t parameter, uint32_t number);

// The command codes the device receives.
inline constexpr uint8_t kErase = 0x12;
inline constexpr uint8_t kProgramFlash = 0x13;
inline constexpr uint8_t kProgramEeprom = 0x15;
inline constexpr uint8_t kReset = 0x08;

// The frames of a whole programming run of |image|: the erase with sequence
// number 1, one program message with |code| per 64 bytes (the last one with
// the rest) numbered on from 2, and the reset after them. The seven bytes
// after the block size are zeros.
std::vector<ReceivedFrame> RunFrames(const Bytes& image, uint8_t code);

// The program message body for one block.
Bytes BlockBody(uint8_t code, const Bytes& image, size_t offset, size_t length);

// Success when the device received exactly |expected|; otherwise the first
// difference.
::testing::AssertionResult FramesAre(const std::vector<ReceivedFrame>& actual,
                                     const std::vector<ReceivedFrame>& expected);

// Success when |memory| holds |image| from offset 0 and is erased (0xFF)
// after it.
::testing::AssertionResult HoldsImage(const std::vector<uint8_t>& memory, const Bytes& image);

}  // namespace korvel_e2e
