// Arbitrary bursts through the real receive path: the fuzz input is what the
// device sends, written to the master side of a pseudo-terminal whose slave
// side the tool has opened with OpenSerial; GetMessageAnswer then receives
// it through MyReadFile and the platform read, and its verdict must follow
// the reply rule. Each run waits one inter-byte gap (20 ms) for the end of
// the burst, which bounds the speed; fuzz_parse is the fast companion.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>

#include "bootloader/message.h"
#include "common/run_state.h"
#include "fuzz/fuzz_support.h"
#include "serial/serial_port.h"

namespace {

// One read timeout: a single read call, so an empty input costs 150 ms and
// not a whole acknowledgement budget.
constexpr uint32_t kBudgetMs = 150;

// Fills the reply destination so that a write beyond the body shows.
constexpr uint8_t kUntouched = 0xA5;

struct Line {
  int device = -1;            // master side: the test plays the device
  PortHandle port = kNoPort;  // slave side, opened and set up by the tool
};

// The pseudo-terminal, set up once for the whole fuzzing session.
const Line& OpenLine() {
  static const Line line = [] {
    Line opened;
    opened.device = posix_openpt(O_RDWR | O_NOCTTY);
    FuzzCheck(opened.device >= 0 && grantpt(opened.device) == 0 && unlockpt(opened.device) == 0,
              "pseudo-terminal");
    SavedPortState found;  // never put back: the line lives as long as the session
    opened.port = OpenSerial(ptsname(opened.device), 115200, &found);
    FuzzCheck(opened.port != kNoPort, "OpenSerial on the pseudo-terminal");
    return opened;
  }();
  return line;
}

// Drops anything a previous run left on the line, in either direction.
void EmptyLine(const Line& line) {
  uint8_t scrap[512];
  for (int fd : {line.port, line.device}) {
    pollfd ready{fd, POLLIN, 0};
    while (poll(&ready, 1, 0) == 1 && (ready.revents & POLLIN) != 0) {
      if (read(fd, scrap, sizeof scrap) <= 0) break;
    }
  }
  PortPurge(line.port, PurgeWhat::kBoth);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // One receive takes at most one read's worth; the rest would be the next
  // reply's business.
  if (size > kReceiveSize) return 0;
  CaptureStdout();
  const Line& line = OpenLine();
  EmptyLine(line);

  // 1. The device sends its burst in one go.
  if (size > 0) {
    const ssize_t written = write(line.device, data, size);
    FuzzCheck(written == static_cast<ssize_t>(size), "device write");
  }

  // 2. The tool receives and checks it, into a destination of exactly the
  // size the callers pass.
  std::unique_ptr<uint8_t[]> destination(new uint8_t[kMaxReplyBody]);
  std::memset(destination.get(), kUntouched, kMaxReplyBody);
  uint32_t bodySize = 0xDEADBEEF;
  const int32_t readBefore = run.traffic.read;
  ClearStdout();
  const int accepted = GetMessageAnswer(
      line.port, kBudgetMs, std::span<uint8_t>(destination.get(), kMaxReplyBody), &bodySize);
  const std::string printed = PrintedStdout();
  const int32_t received = run.traffic.read - readBefore;

  // 3. The invariants. The receive may in principle have caught only the
  // start of the burst (a loaded machine can pause the line longer than the
  // gap), so the rule is judged on what was received.
  FuzzCheck(received >= 0 && static_cast<size_t>(received) <= size,
            "received no more than was sent");
  FuzzCheck(bodySize <= kMaxReplyBody, "body size at most 279");
  FuzzCheck(accepted != 0 || bodySize == 0, "a rejected reply has body size 0");
  if (received == 0) {
    FuzzCheck(accepted == 0, "nothing received is no reply");
    FuzzCheck(printed.find(" / MyReadFile: (") != std::string::npos,
              "an empty receive is reported as MyReadFile");
  } else {
    FuzzCheck(printed.empty(), "a short, unframed or corrupt reply is silent");
  }

  size_t expectedSize = 0;
  const bool expected = ReferenceReplyAccepted(data, static_cast<size_t>(received), &expectedSize);
  FuzzCheck(accepted == (expected ? 1 : 0), "verdict follows the reply rule");
  if (accepted) {
    FuzzCheck(bodySize == expectedSize, "body size is the size field");
    FuzzCheck(std::memcmp(destination.get(), data + kMessageHeaderSize, bodySize) == 0,
              "body is input bytes 5..5+size");
  }
  for (size_t i = accepted ? bodySize : 0; i < kMaxReplyBody; ++i) {
    FuzzCheck(destination[i] == kUntouched, "nothing written beyond the body");
  }
  return 0;
}
