// Erasing and programming the device memory, and leaving the bootloader.
#pragma once

#include <cstdint>
#include <span>

#include "common/image_buffer.h"
#include "serial/serial_port.h"

// Command codes: the first byte of a message body.
inline constexpr uint8_t kCommandChipErase = 0x12;
inline constexpr uint8_t kCommandProgramFlash = 0x13;
inline constexpr uint8_t kCommandProgramEeprom = 0x15;
inline constexpr uint8_t kCommandReset = 0x08;

// Data bytes per program message, and where they start in its body.
inline constexpr uint32_t kBlockSize = 64;
inline constexpr uint32_t kBlockDataOffset = 10;

// True when |body| acknowledges the command |code|: exactly two bytes, the first
// being the code or the second being 0x00. Anything else is a refusal.
bool IsAcknowledgement(std::span<const uint8_t> body, uint8_t code);

// Erases the device and programs the loaded |image| block by block into
// the flash memory (|firmware|) or the EEPROM, each block acknowledged.
// Returns 1, or 0 after its reports. The image stays its caller's.
int FlashImage(PortHandle port, const ImageBuffer& image, bool firmware);

// Sends the reset command; no reply is read. Returns 1 when it went out.
int ResetBootloader(PortHandle port);
