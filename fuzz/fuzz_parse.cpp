// The reply check alone, fast: ParseMessage on arbitrary bursts in a heap
// block of exactly their size, so reading one byte past the burst is a
// finding. fuzz_reply covers the same rule through the port.
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

#include "bootloader/message.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A receive never delivers more than one read's worth.
  if (size > kReceiveSize) return 0;
  std::unique_ptr<uint8_t[]> burst(new uint8_t[size]);
  if (size > 0) std::memcpy(burst.get(), data, size);

  std::span<const uint8_t> body;
  const int accepted = ParseMessage(std::span<const uint8_t>(burst.get(), size), &body);

  size_t expectedSize = 0;
  const bool expected = ReferenceReplyAccepted(data, size, &expectedSize);
  FuzzCheck(accepted == (expected ? 1 : 0), "verdict follows the reply rule");
  if (!accepted) return 0;
  FuzzCheck(body.size() == expectedSize, "body size is the size field");
  FuzzCheck(body.size() <= kMaxReplyBody, "body fits a reply destination");
  FuzzCheck(body.data() == burst.get() + kMessageHeaderSize, "body starts at offset 5");
  return 0;
}
