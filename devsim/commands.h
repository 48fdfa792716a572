// What the bootloader does with a message body: erase, program a block,
// or refuse; and writing a memory's programmed bytes to a file.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "devsim/records.h"

namespace devsim_internal {

inline constexpr uint8_t kCommandReset = 0x08;
inline constexpr uint8_t kCommandErase = 0x12;
inline constexpr uint8_t kCommandProgramFlash = 0x13;
inline constexpr uint8_t kCommandProgramEeprom = 0x15;

// A program body: code, n (high byte first), seven bytes the bootloader
// does not act on, then n data bytes.
inline constexpr uint32_t kProgramHeaderSize = 10;
inline constexpr uint32_t kMaxBlockData = 64;

// Erased memories of the configured sizes, nothing programmed.
void ResetMemories(DevsimRecord* record, uint32_t flashSize, uint32_t eepromSize);

// Performs the erase or program command in |body| on the memories in
// |record| and returns the reply body: [code, 0x00] when done, the refusal
// body when the command is unknown or malformed or would not fit. Resets
// are the device loop's business and are refused here.
std::vector<uint8_t> PerformCommand(DevsimRecord* record, std::span<const uint8_t> body);

// The reply body that refuses |body|: [code ^ 0x80, 0xC0]. It fails the
// acknowledgement rule on both counts: the first byte is never the code and
// the second never 0x00. An empty body counts as code 0x00.
std::vector<uint8_t> RefusalBody(std::span<const uint8_t> body);

// A short name for a command code, for the frame log.
const char* CommandName(uint8_t code);

// Writes |bytes| to |path|, replacing it. Returns false with errno set.
bool WriteMemoryFile(const std::string& path, std::span<const uint8_t> bytes);

}  // namespace devsim_internal
