// The connection under a network port: receiving and decoding, the server's
// answers, and sending within bounds.
#include "serial/network_session.h"

#include <algorithm>
#include <cstring>

#include "common/interrupts.h"
#include "common/report.h"
#include "common/system.h"
#include "serial/socket.h"

NetworkSession networkSession;

namespace {

// The value of an answer: its first four bytes after the command, high
// byte first (a rate); one byte for the others.
uint32_t AnswerValue(const TelnetEvent& event) {
  uint32_t value = 0;
  for (size_t i = 1; i < event.length && i <= 4; ++i) value = (value << 8) | event.payload[i];
  return value;
}

// Queues |bytes| after what is pending; false when they don't fit.
bool AddPending(NetworkSession& s, std::span<const uint8_t> bytes) {
  if (s.pendingLength + bytes.size() > s.pending.size()) return false;
  std::copy(bytes.begin(), bytes.end(), s.pending.begin() + s.pendingLength);
  s.pendingLength += bytes.size();
  return true;
}

// Queues korvel's answer to a negotiation; a server that reads nothing
// while it keeps negotiating loses the answers that don't fit.
void AnswerNegotiation(NetworkSession& s, const TelnetEvent& event) {
  std::array<uint8_t, kNegotiationSize> answer{};
  const size_t length = TelnetAnswerNegotiation(&s.options, event.verb, event.option, answer);
  AddPending(s, std::span<const uint8_t>(answer).first(length));
}

void TakeEvent(NetworkSession& s, const TelnetEvent& event) {
  if (event.kind == TelnetEvent::Kind::kNegotiation) {
    AnswerNegotiation(s, event);
    return;
  }
  // COM-PORT-OPTION answers: the request's code plus 100. Everything else a
  // server may send (its signature, line and modem state notices) does not
  // concern korvel.
  if (event.option != kOptionComPort || event.truncated || event.length == 0) return;
  const uint8_t code = event.payload[0];
  if (code <= kComPortAnswerOffset || code > kComPortAnswerOffset + kComPortLastCommand) return;
  const uint8_t command = code - kComPortAnswerOffset;
  ++s.answers[command];
  s.answerValues[command] = AnswerValue(event);
  if (command == static_cast<uint8_t>(ComPortCommand::kPurgeData) && s.purgesUnanswered > 0) {
    --s.purgesUnanswered;
  }
}

// Data the server sent: dropped while a purge is unanswered (it was sent
// before the purge) and beyond the inbox's room.
void TakeData(NetworkSession& s, std::span<const uint8_t> data) {
  if (s.purgesUnanswered > 0) {
    if (NetworkClock::now() < s.purgeGiveUp) return;
    s.purgesUnanswered = 0;  // a server that does not answer purges
  }
  const size_t room = s.inbox.size() - s.inboxLength;
  const size_t kept = std::min(room, data.size());
  std::copy_n(data.begin(), kept, s.inbox.begin() + s.inboxLength);
  s.inboxLength += kept;
}

void TakeReceived(NetworkSession& s, std::span<const uint8_t> received) {
  while (!received.empty()) {
    // As large as the input: decoding never stops for want of room.
    std::array<uint8_t, kReceiveChunk> data{};
    size_t dataLength = 0;
    TelnetEvent event;
    const size_t used =
        TelnetDecode(&s.decoder, received, ServerSendsBinary(s), data, &dataLength, &event);
    TakeData(s, std::span<const uint8_t>(data).first(dataLength));
    if (event.kind != TelnetEvent::Kind::kNone) TakeEvent(s, event);
    received = received.subspan(used);
  }
}

// Takes |count| bytes that went out off the front of what was sent: the
// owed byte, then the pending commands; returns how many of the data
// bytes after them went.
size_t TakeSent(NetworkSession& s, size_t count) {
  if (s.owed && count > 0) {
    s.owed = false;
    --count;
  }
  const size_t commands = std::min(count, s.pendingLength);
  std::memmove(s.pending.data(), s.pending.data() + commands, s.pendingLength - commands);
  s.pendingLength -= commands;
  return count - commands;
}

// Fails the connection after a failed send.
int SendFailed(NetworkSession& s) {
  ReportFailure("send");
  MarkFailed(s);
  return 0;
}

// Fails a call on a connection that failed before, with its error code.
int AlreadyFailed(const NetworkSession& s) {
  SetLastSystemError(s.failedCode);
  return 0;
}

}  // namespace

bool ServerSendsBinary(const NetworkSession& s) {
  return s.options.remote[kOptionBinary] == OptionState::kYes;
}

bool ClientSendsBinary(const NetworkSession& s) {
  return s.options.local[kOptionBinary] == OptionState::kYes;
}

void MarkFailed(NetworkSession& s) {
  s.failed = true;
  s.failedCode = LastSystemError();
}

int ReceiveFromServer(NetworkSession& s, NetworkClock::duration wait) {
  if (s.failed) return AlreadyFailed(s);
  size_t none = 0;
  if (!SendWithin(s, {}, NetworkClock::duration::zero(), &none)) return 0;
  const int ready =
      SocketWaitReadable(s.connection, std::min(wait, NetworkClock::duration(kNetworkSlice)));
  long count = 0;
  if (ready > 0) {
    std::array<uint8_t, kReceiveChunk> received{};
    count = SocketReceive(s.connection, received);
    if (count > 0)
      TakeReceived(s, std::span<const uint8_t>(received).first(static_cast<size_t>(count)));
  }
  if (ready < 0 || count < 0) {
    ReportFailure("recv");
    MarkFailed(s);
    return 0;
  }
  return 1;
}

int AwaitServer(NetworkSession& s, NetworkClock::time_point deadline) {
  if (StopRequested()) {
    SetStoppedSystemError();
    return 0;
  }
  const NetworkClock::duration left = deadline - NetworkClock::now();
  if (left <= NetworkClock::duration::zero()) {
    SetNetworkFault(NetworkFault::kTimedOut);
    return 0;
  }
  return ReceiveFromServer(s, left);
}

int WaitForAnswers(NetworkSession& s, ComPortCommand command, uint32_t count,
                   NetworkClock::time_point deadline) {
  while (s.answers[static_cast<size_t>(command)] < count) {
    if (!AwaitServer(s, deadline)) return 0;
  }
  return 1;
}

int SendWithin(NetworkSession& s, std::span<const uint8_t> bytes, NetworkClock::duration wait,
               size_t* sent) {
  *sent = 0;
  if (s.failed) return AlreadyFailed(s);
  const NetworkClock::time_point deadline = NetworkClock::now() + wait;
  // What is due in order, in one buffer, so that a message goes out in one
  // packet with the purge before it.
  std::array<uint8_t, 1 + kPendingSize + kSendChunk> out{};
  while (true) {
    const std::span<const uint8_t> rest = bytes.subspan(*sent);
    size_t length = 0;
    if (s.owed) out[length++] = s.owedByte;
    std::copy_n(s.pending.begin(), s.pendingLength, out.begin() + length);
    length += s.pendingLength;
    const size_t taken = std::min(rest.size(), out.size() - length);
    std::copy_n(rest.begin(), taken, out.begin() + length);
    length += taken;
    if (length == 0) return 1;
    const long count = SocketSend(s.connection, std::span<const uint8_t>(out).first(length));
    if (count < 0) return SendFailed(s);
    if (count > 0) {
      *sent += TakeSent(s, static_cast<size_t>(count));
      continue;
    }
    // The system's buffer is full: wait for room, within |wait|, unless the
    // run is asked to stop.
    const NetworkClock::duration left = deadline - NetworkClock::now();
    if (left <= NetworkClock::duration::zero() || StopRequested()) return 1;
    const auto slice = std::min(left, NetworkClock::duration(kNetworkSlice));
    if (SocketWaitWritable(s.connection, slice) < 0) return SendFailed(s);
  }
}

int SendCommands(NetworkSession& s, std::span<const uint8_t> bytes) {
  size_t sent = 0;
  if (!SendWithin(s, bytes, kAnswerLimit, &sent)) return 0;
  if (sent == bytes.size()) return 1;
  // A server that takes no request for so long reads nothing at all; half a
  // request would corrupt the stream.
  SetNetworkFault(NetworkFault::kTimedOut);
  return SendFailed(s);
}

int QueueCommands(NetworkSession& s, std::span<const uint8_t> bytes) {
  return AddPending(s, bytes) ? 1 : SendCommands(s, bytes);
}

uint32_t TakeFromInbox(NetworkSession& s, std::span<uint8_t> buffer) {
  const size_t count = std::min(buffer.size(), s.inboxLength);
  std::copy_n(s.inbox.begin(), count, buffer.begin());
  std::memmove(s.inbox.data(), s.inbox.data() + count, s.inboxLength - count);
  s.inboxLength -= count;
  return static_cast<uint32_t>(count);
}
