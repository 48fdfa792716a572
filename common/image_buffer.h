// An image to program: its bytes and their count.
#pragma once

#include <cstdint>
#include <memory>

struct ImageBuffer {
  // The heap block of a loaded file, freed with the buffer; empty when the
  // bytes belong to someone else (the built-in hardware-parameter image).
  std::unique_ptr<uint8_t[]> owned;
  const uint8_t* bytes = nullptr;  // first byte; none when there is no image
  uint32_t length = 0;
};
