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

namespace devsim_internal {

namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

// A frame that gets no further byte for this long is dropped; a device
// must not wait forever for the rest of a frame.
constexpr milliseconds kFrameGap{200};

// How long after a sync answer the extra carriage return follows, unless a
// reply goes out first (the late byte then goes just before it).
constexpr milliseconds kLateAnswerDelay{10};

// After a reset, how long the device leaves the slave's settings alone
// before it has their changes reported again for its line gate. Turning
// the reports on is a read-modify-write of all the settings; korvel closes
// the port right after the reset and puts back the settings it found
// (reports on among them), and a device writing the settings it read just
// before would put korvel's run settings back over them.
constexpr milliseconds kReportSettingsDelay{100};

// A reply followed by a vanish: the line closes no sooner than this after
// the reply was written, and only once the tool has read it; the kernel
// may hand written bytes on to the reader's queue a little later.
constexpr milliseconds kReadMargin{5};
constexpr milliseconds kVanishRecheck{2};

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

// Sends |bytes| as one burst from |ready| on. A paced device sends them one
// byte at a time instead, each once it has passed on the transmit wire.
void SendAnswer(Devsim* devsim, const std::vector<uint8_t>& bytes, DeviceClock::time_point ready) {
  DeviceState& state = devsim->state;
  if (!devsim->config.paced) {
    QueueBurst(&state, bytes, ready);
    return;
  }
  for (uint8_t byte : bytes) {
    QueueBurst(&state, {byte}, CarryByte(&state.transmitWire, state.answerRate, ready));
  }
}

// Sends a pending late sync answer now, ahead of whatever follows.
void SendLateAnswerNow(Devsim* devsim, DeviceClock::time_point now) {
  if (!devsim->state.lateAnswerPending) return;
  devsim->state.lateAnswerPending = false;
  SendAnswer(devsim, {kSyncAnswer}, now);
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
  if (state.sessionProbes == 1) {
    record.bootloaderBaud = lineRate;
    // The tool has made its last settings change of the run (the switch
    // to the bootloader's rate): from here on its own input flags act on
    // what it reads, the probe's answer first.
    SetSlaveSettingsReported(devsim->pty, false);
  }

  if (faults.vanishAfterProbes > 0 && state.sessionProbes == faults.vanishAfterProbes) {
    state.vanishRequested = true;
    return;
  }
  if (faults.neverAnswer) return;
  if (faults.answerOnlyProbe > 0 && state.sessionProbes != faults.answerOnlyProbe) return;

  const uint8_t answer =
      faults.otherByte >= 0 ? static_cast<uint8_t>(faults.otherByte) : kSyncAnswer;
  SendLateAnswerNow(devsim, now);
  SendAnswer(devsim, {answer}, now);
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
  // The gate needs to see settings changes again, a little later.
  state.reportSettingsPending = true;
  state.reportSettingsDue = DeviceClock::now() + kReportSettingsDelay;
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

// Acts on the faults that take the device away before it acts on a
// message, and on the reset, which gets no reply. Returns whether the
// message is done with.
bool EndsBeforeReply(Devsim* devsim, const ReceivedFrame& frame, uint8_t code, ReplyFault fault) {
  DeviceState& state = devsim->state;
  if (fault == ReplyFault::kVanish) {
    state.vanishRequested = true;
    return true;
  }
  if (fault == ReplyFault::kStopReading) {
    state.readingStopped = true;
    Log(*devsim, "stopped reading");
    return true;
  }
  if (code == kCommandReset && frame.body.size() == 1) {
    ResetDevice(devsim);
    return true;
  }
  return fault == ReplyFault::kVanishMidMessage;  // vanished before the end
}

// Sends the reply's |bursts|, the first once the command has taken its
// time: programming a block takes the device its write time before it
// replies. Returns when the last burst is due.
DeviceClock::time_point SendReply(Devsim* devsim, const std::vector<Burst>& bursts, bool programs,
                                  DeviceClock::time_point now) {
  SendLateAnswerNow(devsim, now);
  DeviceClock::time_point due =
      now + (programs ? microseconds(devsim->config.writeTimeUs) : microseconds(0));
  for (const Burst& burst : bursts) {
    due += milliseconds(burst.delayMs);
    SendAnswer(devsim, burst.bytes, due);
  }
  return due;
}

// The faults that act once the reply (due at |due|) is out: held from the
// reply on, nothing more the tool writes gets through; a vanish follows
// once the reply was read.
void ActAfterReply(Devsim* devsim, ReplyFault fault, DeviceClock::time_point due) {
  if (fault == ReplyFault::kReplyThenHold || fault == ReplyFault::kReplyThenVanish) {
    SetSlaveOutputFlowing(devsim->pty, false);
  }
  if (fault == ReplyFault::kReplyThenVanish) {
    devsim->state.vanishOnceRead = true;
    devsim->state.vanishNotBefore = due + kReadMargin;
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
  if (EndsBeforeReply(devsim, frame, code, plan.fault)) return;

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
  // A refusal programs nothing.
  const bool programs = (code == kCommandProgramFlash || code == kCommandProgramEeprom) &&
                        plan.fault != ReplyFault::kRefuse;
  const DeviceClock::time_point due = SendReply(devsim, bursts, programs, now);
  // Reply bodies are [code, status]; the log shows what they would be
  // before a fault shaped them.
  Log(*devsim, "-> seq %u size %zu [%02X %02X]%s%s", frame.sequence, body.size(), body[0], body[1],
      plan.fault == ReplyFault::kNone ? "" : " with fault ",
      plan.fault == ReplyFault::kNone ? "" : ReplyFaultName(plan.fault));
  ActAfterReply(devsim, plan.fault, due);
}

// The fault planned for the message now coming in, if it vanishes midway.
const ReplyPlan* MidMessageVanish(const Devsim& devsim) {
  const auto planned = devsim.config.replies.find(devsim.state.messageIndex);
  if (planned == devsim.config.replies.end()) return nullptr;
  return planned->second.fault == ReplyFault::kVanishMidMessage ? &planned->second : nullptr;
}

}  // namespace

void QueueBurst(DeviceState* state, std::vector<uint8_t> bytes, DeviceClock::time_point due) {
  state->output.push_back(PendingBurst{std::move(bytes), due});
}

void FeedDeviceBytes(Devsim* devsim, std::span<const uint8_t> bytes, uint32_t lineRate,
                     DeviceClock::time_point readAt) {
  DeviceState& state = devsim->state;
  DevsimRecord& record = devsim->record;
  for (uint8_t byte : bytes) {
    // After a vanish or a stop nothing more is read; the rest of this read
    // is lost with the device.
    if (state.vanishRequested || state.readingStopped) return;
    const bool firmware = state.mode == DeviceMode::kFirmware;
    const uint32_t rate = firmware ? state.gate.rate : lineRate;
    // Paced, the byte counts as heard once it has passed on the receive
    // wire; everything the device sends in return is timed from then.
    const DeviceClock::time_point now =
        devsim->config.paced ? CarryByte(&state.receiveWire, rate, readAt) : readAt;
    if (firmware) {
      FeedFirmwareByte(devsim, byte, rate);
      continue;
    }
    state.answerRate = rate;
    const ReplyPlan* midway = MidMessageVanish(*devsim);
    if (midway != nullptr && !FrameInProgress(state.parser)) state.messageBytes = 0;
    ReceivedFrame frame;
    const FrameEvent event = FeedFrameByte(&state.parser, byte, &frame);
    if (midway != nullptr && event == FrameEvent::kTaken &&
        ++state.messageBytes >= midway->vanishAfterBytes) {
      Log(*devsim, "<- %u bytes of message %d, then gone", state.messageBytes, state.messageIndex);
      state.vanishRequested = true;
      return;
    }
    switch (event) {
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
  bool acted = HandleGateTimers(devsim, now);
  if (FrameInProgress(state.parser) && now >= state.frameDeadline) {
    ResetFrameParser(&state.parser);
    ++devsim->record.corruptFrames;
    Log(*devsim, "<- incomplete frame dropped");
    acted = true;
  }
  if (state.lateAnswerPending && now >= state.lateAnswerDue) {
    SendLateAnswerNow(devsim, now);
    acted = true;
  }
  if (state.reportSettingsPending && now >= state.reportSettingsDue) {
    state.reportSettingsPending = false;
    if (state.mode == DeviceMode::kFirmware) {
      SetSlaveSettingsReported(devsim->pty, true);
      // A change made meanwhile went unreported: the gate takes the
      // settings as just changed and reads the rate afresh before it lets
      // anything through.
      GateOnSettingsChanged(devsim, now);
    }
  }
  // A reply-then-vanish waits for its reply to be out and read; the tool
  // reads it as soon as it arrives, so a short recheck interval will do.
  if (state.vanishOnceRead && state.output.empty() && now >= state.vanishNotBefore) {
    if (SlaveInputPending(devsim->pty)) {
      state.vanishNotBefore = now + kVanishRecheck;
    } else {
      state.vanishRequested = true;
      acted = true;
    }
  }
  return acted;
}

DeviceClock::time_point NextDeviceDeadline(const DeviceState& state) {
  DeviceClock::time_point next = DeviceClock::time_point::max();
  if (FrameInProgress(state.parser)) next = std::min(next, state.frameDeadline);
  if (state.lateAnswerPending) next = std::min(next, state.lateAnswerDue);
  if (state.reportSettingsPending) next = std::min(next, state.reportSettingsDue);
  if (state.vanishOnceRead && state.output.empty()) next = std::min(next, state.vanishNotBefore);
  // A blocked write waits for room (POLLOUT), not for a time.
  if (!state.output.empty() && !state.outputBlocked)
    next = std::min(next, state.output.front().due);
  return std::min(next, NextGateDeadline(state));
}

}  // namespace devsim_internal
