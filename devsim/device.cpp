// The device's behaviour on the wire: the firmware waiting for the
// activation string, the bootloader answering probes and framed commands,
// and the scripted faults.
#include "devsim/device.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "devsim/commands.h"

namespace {

using std::chrono::milliseconds;

// A frame that gets no further byte for this long is dropped; a device
// must not wait forever for the rest of a frame.
constexpr milliseconds kFrameGap{200};

// How long after a sync answer the extra carriage return follows, unless a
// reply goes out first (the late byte then goes just before it).
constexpr milliseconds kLateAnswerDelay{10};

// The firmware keeps at most this much of what it received.
constexpr size_t kMaxActivationBytes = 1 << 20;

void Log(const Devsim& devsim, const char* format, ...) __attribute__((format(printf, 2, 3)));

void Log(const Devsim& devsim, const char* format, ...) {
  if (!devsim.config.logFrames) return;
  char line[256];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  std::fprintf(stderr, "devsim: %s\n", line);
}

// Sends a pending late sync answer now, ahead of whatever follows.
void SendLateAnswerNow(DeviceState* state, DeviceClock::time_point now) {
  if (!state->lateAnswerPending) return;
  state->lateAnswerPending = false;
  QueueBurst(state, {kSyncAnswer}, now);
}

void EnterBootloader(Devsim* devsim) {
  DeviceState& state = devsim->state;
  DevsimRecord& record = devsim->record;
  // The string's first byte shows the rate it was sent at. The last byte's
  // rate can't: the tool switches to the bootloader's rate right after it.
  record.activationBaud = state.windowRates[0];
  ++record.bootloaderEntries;
  state.mode = DeviceMode::kBootloader;
  GateForBootloader(devsim);
  ResetFrameParser(&state.parser);
  state.messageIndex = 0;
  state.sessionProbes = 0;
  Log(*devsim, "activation string at %u baud: bootloader entered", record.activationBaud);
}

void FeedFirmwareByte(Devsim* devsim, uint8_t byte, uint32_t lineRate) {
  DeviceState& state = devsim->state;
  DevsimRecord& record = devsim->record;
  if (record.activationBytes.size() < kMaxActivationBytes) record.activationBytes.push_back(byte);

  // A sliding window over the last ten bytes received.
  if (state.windowFill == kActivationString.size()) {
    std::copy(state.window.begin() + 1, state.window.end(), state.window.begin());
    std::copy(state.windowRates.begin() + 1, state.windowRates.end(), state.windowRates.begin());
    --state.windowFill;
  }
  state.window[state.windowFill] = byte;
  state.windowRates[state.windowFill] = lineRate;
  ++state.windowFill;

  if (state.windowFill == kActivationString.size() && state.window == kActivationString &&
      !devsim->config.probes.neverEnterBootloader) {
    EnterBootloader(devsim);
  }
}

void AnswerProbe(Devsim* devsim, uint32_t lineRate, DeviceClock::time_point now) {
  DeviceState& state = devsim->state;
  DevsimRecord& record = devsim->record;
  const ProbeFaults& faults = devsim->config.probes;
  ++record.probes;
  ++state.sessionProbes;
  if (state.sessionProbes == 1) record.bootloaderBaud = lineRate;

  if (faults.vanishAfterProbes > 0 && state.sessionProbes == faults.vanishAfterProbes) {
    state.vanishRequested = true;
    return;
  }
  if (faults.neverAnswer) return;
  if (faults.answerOnlyProbe > 0 && state.sessionProbes != faults.answerOnlyProbe) return;

  const uint8_t answer =
      faults.otherByte >= 0 ? static_cast<uint8_t>(faults.otherByte) : kSyncAnswer;
  SendLateAnswerNow(&state, now);
  QueueBurst(&state, {answer}, now);
  if (faults.lateExtraCarriageReturn) {
    state.lateAnswerPending = true;
    state.lateAnswerDue = now + kLateAnswerDelay;
  }
}

// The reset: no reply; the device starts its firmware again, which waits
// for the activation string anew. The programmed images go to their files.
void ResetDevice(Devsim* devsim) {
  DeviceState& state = devsim->state;
  DevsimRecord& record = devsim->record;
  ++record.resets;
  state.mode = DeviceMode::kFirmware;
  GateForFirmware(devsim);
  state.windowFill = 0;
  state.lateAnswerPending = false;
  ResetFrameParser(&state.parser);
  Log(*devsim, "reset: back to the firmware");

  const struct {
    const std::string& path;
    const std::vector<uint8_t>& memory;
    uint32_t written;
  } outputs[] = {{devsim->config.flashOutPath, record.flash, record.flashWritten},
                 {devsim->config.eepromOutPath, record.eeprom, record.eepromWritten}};
  for (const auto& output : outputs) {
    if (output.path.empty()) continue;
    if (!WriteMemoryFile(output.path, std::span(output.memory).first(output.written))) {
      std::fprintf(stderr, "devsim: cannot write %s: %s\n", output.path.c_str(),
                   std::strerror(errno));
    }
  }
}

void HandleFrame(Devsim* devsim, const ReceivedFrame& frame, DeviceClock::time_point now) {
  DeviceState& state = devsim->state;
  DevsimRecord& record = devsim->record;
  record.frames.push_back(frame);

  const auto planned = devsim->config.replies.find(state.messageIndex++);
  const ReplyPlan plan = planned == devsim->config.replies.end() ? ReplyPlan{} : planned->second;
  const uint8_t code = frame.body.empty() ? 0x00 : frame.body[0];
  Log(*devsim, "<- seq %u %s (0x%02X) size %zu", frame.sequence, CommandName(code), code,
      frame.body.size());

  // Faults that take the device away before it acts on the message.
  if (plan.fault == ReplyFault::kVanish) {
    state.vanishRequested = true;
    return;
  }
  if (plan.fault == ReplyFault::kStopReading) {
    state.readingStopped = true;
    Log(*devsim, "stopped reading");
    return;
  }
  if (code == kCommandReset && frame.body.size() == 1) {
    ResetDevice(devsim);
    return;
  }

  // A refusal fault refuses without acting; every other fault shapes the
  // reply to a command the device did carry out.
  const std::vector<uint8_t> body = plan.fault == ReplyFault::kRefuse
                                        ? RefusalBody(frame.body)
                                        : PerformCommand(&record, frame.body);
  if (plan.fault == ReplyFault::kFlood) {
    state.flooding = true;
    Log(*devsim, "flooding instead of replying");
    return;
  }
  const std::vector<Burst> bursts = ShapeReply(frame.sequence, body, plan);
  if (bursts.empty()) {
    Log(*devsim, "-> no reply (%s)", ReplyFaultName(plan.fault));
    return;
  }
  SendLateAnswerNow(&state, now);
  DeviceClock::time_point due = now;
  for (const Burst& burst : bursts) {
    due += milliseconds(burst.delayMs);
    QueueBurst(&state, burst.bytes, due);
  }
  // Reply bodies are [code, status]; the log shows what they would be
  // before a fault shaped them.
  Log(*devsim, "-> seq %u size %zu [%02X %02X]%s%s", frame.sequence, body.size(), body[0], body[1],
      plan.fault == ReplyFault::kNone ? "" : " with fault ",
      plan.fault == ReplyFault::kNone ? "" : ReplyFaultName(plan.fault));
}

}  // namespace

void QueueBurst(DeviceState* state, std::vector<uint8_t> bytes, DeviceClock::time_point due) {
  state->output.push_back(PendingBurst{std::move(bytes), due});
}

void FeedDeviceBytes(Devsim* devsim, std::span<const uint8_t> bytes, uint32_t lineRate,
                     DeviceClock::time_point now) {
  DeviceState& state = devsim->state;
  DevsimRecord& record = devsim->record;
  for (uint8_t byte : bytes) {
    // After a vanish or a stop nothing more is read; the rest of this read
    // is lost with the device.
    if (state.vanishRequested || state.readingStopped) return;
    if (state.mode == DeviceMode::kFirmware) {
      FeedFirmwareByte(devsim, byte, state.gate.rate);
      continue;
    }
    ReceivedFrame frame;
    switch (FeedFrameByte(&state.parser, byte, &frame)) {
      case FrameEvent::kTaken:
        state.frameDeadline = now + kFrameGap;
        break;
      case FrameEvent::kProbe:
        AnswerProbe(devsim, lineRate, now);
        break;
      case FrameEvent::kStray:
        ++record.strayBytes;
        break;
      case FrameEvent::kComplete:
        HandleFrame(devsim, frame, now);
        break;
      case FrameEvent::kCorrupt:
        ++record.corruptFrames;
        Log(*devsim, "<- corrupt frame dropped");
        break;
    }
  }
}

bool HandleDeviceTimers(Devsim* devsim, DeviceClock::time_point now) {
  DeviceState& state = devsim->state;
  bool acted = false;
  HandleGateTimers(devsim, now);
  if (FrameInProgress(state.parser) && now >= state.frameDeadline) {
    ResetFrameParser(&state.parser);
    ++devsim->record.corruptFrames;
    Log(*devsim, "<- incomplete frame dropped");
    acted = true;
  }
  if (state.lateAnswerPending && now >= state.lateAnswerDue) {
    SendLateAnswerNow(&state, now);
    acted = true;
  }
  return acted;
}

DeviceClock::time_point NextDeviceDeadline(const DeviceState& state) {
  DeviceClock::time_point next = DeviceClock::time_point::max();
  if (FrameInProgress(state.parser)) next = std::min(next, state.frameDeadline);
  if (state.lateAnswerPending) next = std::min(next, state.lateAnswerDue);
  // A blocked write waits for room (POLLOUT), not for a time.
  if (!state.output.empty() && !state.outputBlocked)
    next = std::min(next, state.output.front().due);
  return std::min(next, NextGateDeadline(state));
}
