// The activation handshake: the running firmware hands over to its
// bootloader on the activation string; the bootloader answers "!" with '\r'.
#include "bootloader/activation.h"

#include <array>
#include <chrono>
#include <cstdint>

#include "common/interrupts.h"
#include "common/progress.h"
#include "common/report.h"
#include "serial/serial_port.h"

namespace {

// A command to the running firmware, sent unframed at the activation baud.
constexpr std::array<uint8_t, kActivationLength> kActivationString = {'4', '1', '8', '\r', 'K',
                                                                      'W', 'O', 'L', 'P',  '\r'};
constexpr uint8_t kSyncProbe = '!';
constexpr uint8_t kSyncAnswer = '\r';
constexpr int kProbeAttempts = 30;

}  // namespace

int ActivateBootloader(PortHandle port) {
  // A run asked to stop before it woke the device leaves it alone.
  if (StopRequested()) return 0;

  // 1. The activation string, counted in the traffic.
  uint32_t sent = 0;
  if (!MyWriteFile(port, kActivationString, &sent) || sent != kActivationString.size()) {
    ReportFailure("MyWriteFile");
    return 0;
  }

  // 2. Let all ten bytes leave at the activation baud before the rate
  // changes, then drop what the firmware may have said. Only the receive
  // side is purged: after the drain a real port has nothing left to send,
  // while on a pseudo-terminal or a virtual port a transmit purge throws
  // away bytes the device has not read yet.
  WaitUntilSent(port);
  PortPurge(port, PurgeWhat::kReceive);

  // 3. Switch to the bootloader's rate; every other setting stays.
  LineState state;
  if (!PortGetState(port, &state)) {
    ReportFailure("GetCommState");
    return 0;
  }
  PortSetBaud(&state, kBootloaderBaud);
  if (!PortSetState(port, state)) {
    ReportFailure("SetCommState");
    return 0;
  }

  // 4. Probe until the bootloader answers. Each read waits at most one read
  // timeout; any other byte, or none, uses up the attempt. A terminal on
  // standard error shows the count, as an unanswered wake-up takes seconds.
  ProgressEndGuard clearProbeCount;
  for (int attempt = 0; attempt < kProbeAttempts; ++attempt) {
    if (StopRequested()) return 0;  // unanswered, as far as the run goes
    ProgressProbe(static_cast<uint32_t>(attempt + 1), kProbeAttempts,
                  std::chrono::duration<double>(kReadTimeout).count());
    const std::array<uint8_t, 1> probe = {kSyncProbe};
    uint32_t written = 0;
    if (!PortWrite(port, probe, &written) || written != 1) {
      ReportFailure("WriteFile");
      return 0;
    }
    std::array<uint8_t, 1> answer = {0};
    uint32_t got = 0;
    if (PortRead(port, answer, &got) && got == 1 && answer[0] == kSyncAnswer) return 1;
  }
  // 5. Unanswered: the caller decides what that means.
  return 0;
}
