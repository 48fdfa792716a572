// Erasing and programming the device memory, and leaving the bootloader.
#pragma once

#include <cstdint>
#include <span>

#include "image/image_source.h"
#include "serial/serial_port.h"

// Command codes: the first byte of a message body.
inline constexpr uint8_t kCommandChipErase = 0x12;
inline constexpr uint8_t kCommandProgramFlash = 0x13;
inline constexpr uint8_t kCommandProgramEeprom = 0x15;
inline constexpr uint8_t kCommandReset = 0x08;

// Data bytes per program message, and where they start in its body.
inline constexpr uint32_t kBlockSize = 64;
inline constexpr uint32_t kBlockDataOffset = 10;

// What to program: the file at |path|, or the built-in hardware-parameter
// image when |hwParams| points at it (always EEPROM mode).
struct ImageSource {
  const char* path = nullptr;
  const HwParamBlock* hwParams = nullptr;
};

// 1 when |body| acknowledges the command |code|: exactly two bytes, the first
// being the code or the second being 0x00. Anything else is a refusal.
bool IsAcknowledgement(std::span<const uint8_t> body, uint8_t code);

// Gets the image (a firmware image must carry its marker; its version line
// is printed), erases the device and programs the image block by block,
// each block acknowledged. Returns 1, or 0 after its reports. Nothing is
// sent when the image can't be had.
int FlashImage(PortHandle port, const ImageSource& source, bool firmware);

// Sends the reset command; no reply is read. Returns 1 when it went out.
int ResetBootloader(PortHandle port);
