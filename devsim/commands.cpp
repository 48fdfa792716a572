// The bootloader's command set, applied to the simulated memories.
#include "devsim/commands.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace devsim_internal {

namespace {

constexpr uint8_t kErased = 0xFF;
constexpr uint8_t kStatusFailed = 0xC0;

// Programs one block of |body| right after the previous block of |memory|.
// Returns false, leaving the memory alone, for a malformed block or one that
// runs past the memory's end.
bool ProgramBlock(std::span<const uint8_t> body, std::vector<uint8_t>* memory, uint32_t* written) {
  if (body.size() < kProgramHeaderSize) return false;
  const uint32_t count = static_cast<uint32_t>(body[1]) << 8 | body[2];
  if (count == 0 || count > kMaxBlockData) return false;
  if (body.size() != kProgramHeaderSize + count) return false;
  if (*written + count > memory->size()) return false;
  // Bytes 3 to 9 are not acted on.
  const std::span<const uint8_t> data = body.subspan(kProgramHeaderSize, count);
  std::copy(data.begin(), data.end(), memory->begin() + *written);
  *written += count;
  return true;
}

}  // namespace

void ResetMemories(DevsimRecord* record, uint32_t flashSize, uint32_t eepromSize) {
  record->flash.assign(flashSize, kErased);
  record->eeprom.assign(eepromSize, kErased);
  record->flashWritten = 0;
  record->eepromWritten = 0;
}

std::vector<uint8_t> RefusalBody(std::span<const uint8_t> body) {
  const uint8_t code = body.empty() ? 0x00 : body[0];
  return {static_cast<uint8_t>(code ^ 0x80), kStatusFailed};
}

std::vector<uint8_t> PerformCommand(DevsimRecord* record, std::span<const uint8_t> body) {
  bool done = false;
  if (!body.empty()) {
    switch (body[0]) {
      case kCommandErase:
        // A chip erase clears both memories, as the tool sends one before
        // an EEPROM image too; both write positions start again at 0.
        if (body.size() == 1) {
          ResetMemories(record, static_cast<uint32_t>(record->flash.size()),
                        static_cast<uint32_t>(record->eeprom.size()));
          done = true;
        }
        break;
      case kCommandProgramFlash:
        done = ProgramBlock(body, &record->flash, &record->flashWritten);
        break;
      case kCommandProgramEeprom:
        done = ProgramBlock(body, &record->eeprom, &record->eepromWritten);
        break;
      default:
        break;
    }
  }
  if (!done) return RefusalBody(body);
  return {body[0], 0x00};
}

const char* CommandName(uint8_t code) {
  switch (code) {
    case kCommandReset:
      return "reset";
    case kCommandErase:
      return "erase";
    case kCommandProgramFlash:
      return "program-flash";
    case kCommandProgramEeprom:
      return "program-eeprom";
    default:
      return "unknown";
  }
}

bool WriteMemoryFile(const std::string& path, std::span<const uint8_t> bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t count = write(fd, bytes.data() + done, bytes.size() - done);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      const int savedErrno = errno;
      close(fd);
      errno = savedErrno;
      return false;
    }
    done += static_cast<size_t>(count);
  }
  return close(fd) == 0;
}

}  // namespace devsim_internal
