// The network port's operations over its session (network_session.cpp):
// connecting, the line settings as COM-PORT-OPTION requests, the drain that
// RFC 2217 lacks, purges, and data in and out.
#include "serial/network_port.h"

#include <algorithm>
#include <thread>
#include <vector>

#include "common/interrupts.h"
#include "common/report.h"
#include "common/system.h"
#include "serial/network_name.h"
#include "serial/network_session.h"
#include "serial/socket.h"

namespace {

using std::chrono::milliseconds;

constexpr milliseconds kConnectLimit{5000};
// How long a write waits for room before it counts as taking nothing, as
// the local port's.
constexpr milliseconds kWriteWait{20};
// The receive rule, as a local read applies it.
constexpr milliseconds kReadLimit = kReadTimeout;
constexpr milliseconds kReadGap = kInterByteTimeout;
// On top of the bytes' own time on the line: the server's queue to its
// UART, and a device that takes its bytes only once its line settled.
constexpr milliseconds kWireMargin{50};

constexpr uint8_t kDataBits = 8;

// Appends request |command| with |value| to |requests|.
void AddRequest(std::vector<uint8_t>* requests, ComPortCommand command,
                std::span<const uint8_t> value) {
  std::array<uint8_t, kMaxComPortRequest> request{};
  const size_t length = TelnetComPortRequest(command, value, request);
  requests->insert(requests->end(), request.begin(), request.begin() + length);
}

void AddRequest(std::vector<uint8_t>* requests, ComPortCommand command, uint8_t value) {
  AddRequest(requests, command, std::span<const uint8_t>(&value, 1));
}

// Waits until the server has agreed to COM-PORT-OPTION: it answers korvel's
// WILL with DO (or DONT) right after the connection.
int WaitForComPortOption(NetworkSession& s, NetworkClock::time_point deadline) {
  while (s.options.local[kOptionComPort] == OptionState::kWantYes) {
    if (!AwaitServer(s, deadline)) return 0;
  }
  if (s.options.local[kOptionComPort] == OptionState::kYes) return 1;
  SetNetworkFault(NetworkFault::kUnsupported);
  return 0;
}

// The line settings besides the rate, asked for once: their answers'
// counts to wait for go into |expected|.
void AddLineSetup(NetworkSession& s, std::vector<uint8_t>* requests,
                  std::array<uint32_t, kComPortLastCommand + 1>* expected) {
  AddRequest(requests, ComPortCommand::kSetDatasize, kDataBits);
  AddRequest(requests, ComPortCommand::kSetParity, kParityNone);
  AddRequest(requests, ComPortCommand::kSetStopsize, kStopsizeOne);
  for (ComPortCommand command :
       {ComPortCommand::kSetDatasize, ComPortCommand::kSetParity, ComPortCommand::kSetStopsize}) {
    (*expected)[static_cast<size_t>(command)] = s.answers[static_cast<size_t>(command)] + 1;
  }
  // No flow control, DTR and RTS asserted, as on a local port.
  AddRequest(requests, ComPortCommand::kSetControl, kControlNoFlowControl);
  AddRequest(requests, ComPortCommand::kSetControl, kControlDtrOn);
  AddRequest(requests, ComPortCommand::kSetControl, kControlRtsOn);
}

// Whether the answers to the line setup are what was asked.
bool LineSetupAnswered(const NetworkSession& s) {
  const auto value = [&](ComPortCommand command) {
    return s.answerValues[static_cast<size_t>(command)];
  };
  return value(ComPortCommand::kSetDatasize) == kDataBits &&
         value(ComPortCommand::kSetParity) == kParityNone &&
         value(ComPortCommand::kSetStopsize) == kStopsizeOne;
}

// How long |bytes| take on a line at |baud|: 10 bits each.
NetworkClock::duration LineTime(size_t bytes, uint32_t baud) {
  const double seconds = baud == 0 ? 0.0 : static_cast<double>(bytes) * 10.0 / baud;
  return std::chrono::duration_cast<NetworkClock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

bool NetworkPortOwns(PortHandle port) {
  return networkSession.connection != kNoPort && port == networkSession.connection;
}

PortHandle NetworkPortCreate(const char* portName) {
  NetworkAddress address;
  if (!ParseNetworkPortName(portName, &address)) {
    SetNetworkFault(NetworkFault::kInvalid);
    return kNoPort;
  }
  if (networkSession.connection != kNoPort) {
    SetNetworkFault(NetworkFault::kBusy);
    return kNoPort;
  }
  const char* failedStep = nullptr;
  const PortHandle connection =
      SocketConnect(address.host.c_str(), address.service.c_str(), kConnectLimit, &failedStep);
  if (connection == kNoPort) {
    ReportFailure(failedStep);
    return kNoPort;
  }
  networkSession = NetworkSession{};
  networkSession.connection = connection;
  std::array<uint8_t, kOptionRequestsSize> requests{};
  const size_t length = TelnetRequestOptions(&networkSession.options, requests);
  if (!SendCommands(networkSession, std::span<const uint8_t>(requests).first(length))) {
    NetworkPortClose(connection);
    return kNoPort;
  }
  return connection;
}

int NetworkPortGetBaud(PortHandle, uint32_t* baud) {
  *baud = networkSession.baud;
  return 1;
}

int NetworkPortSetBaud(PortHandle, uint32_t baud) {
  NetworkSession& s = networkSession;
  // A rate of 0 would only ask for the current one.
  if (baud == 0) {
    SetNetworkFault(NetworkFault::kInvalid);
    return 0;
  }
  // 1. The server must have taken COM-PORT-OPTION.
  const NetworkClock::time_point deadline = NetworkClock::now() + kAnswerLimit;
  if (!WaitForComPortOption(s, deadline)) return 0;

  // 2. The requests: the rate, and the first time the rest of the line.
  std::vector<uint8_t> requests;
  std::array<uint32_t, kComPortLastCommand + 1> expected{};
  AddRequest(&requests, ComPortCommand::kSetBaudrate, TelnetBaudValue(baud));
  expected[static_cast<size_t>(ComPortCommand::kSetBaudrate)] =
      s.answers[static_cast<size_t>(ComPortCommand::kSetBaudrate)] + 1;
  const bool setUp = !s.lineSetUp;
  if (setUp) AddLineSetup(s, &requests, &expected);
  if (!SendCommands(s, requests)) return 0;

  // 3. Their answers, each within the time an answer may take.
  const NetworkClock::time_point answersDue = NetworkClock::now() + kAnswerLimit;
  for (size_t command = 0; command < expected.size(); ++command) {
    if (expected[command] == 0) continue;
    if (!WaitForAnswers(s, static_cast<ComPortCommand>(command), expected[command], answersDue)) {
      return 0;
    }
  }
  // 4. The rate the server runs at now, judged as a local line's read-back.
  const uint32_t actual = s.answerValues[static_cast<size_t>(ComPortCommand::kSetBaudrate)];
  if (!RateWithinTolerance(baud, actual) || (setUp && !LineSetupAnswered(s))) {
    SetNetworkFault(NetworkFault::kInvalid);
    return 0;
  }
  s.baud = actual;
  s.lineSetUp = true;
  return 1;
}

int NetworkPortDrain(PortHandle) {
  NetworkSession& s = networkSession;
  if (!s.sentSinceDrain) return 1;
  // 1. A query (rate 0): the server answers it after the bytes before it.
  std::vector<uint8_t> query;
  AddRequest(&query, ComPortCommand::kSetBaudrate, TelnetBaudValue(0));
  const uint32_t count = s.answers[static_cast<size_t>(ComPortCommand::kSetBaudrate)] + 1;
  if (!SendCommands(s, query) ||
      !WaitForAnswers(s, ComPortCommand::kSetBaudrate, count, NetworkClock::now() + kAnswerLimit)) {
    return 0;
  }
  // 2. What is left of their time on the line, at the rate they were
  // written at, with a margin.
  const NetworkClock::duration left = s.lineFreeAt - NetworkClock::now();
  const NetworkClock::time_point until =
      NetworkClock::now() + std::max(left, NetworkClock::duration::zero()) * 5 / 4 + kWireMargin;
  while (NetworkClock::now() < until && !StopRequested()) {
    std::this_thread::sleep_for(
        std::min(until - NetworkClock::now(), NetworkClock::duration(kNetworkSlice)));
  }
  s.sentSinceDrain = false;
  return 1;
}

void NetworkPortPurge(PortHandle, PurgeWhat what) {
  NetworkSession& s = networkSession;
  std::vector<uint8_t> request;
  AddRequest(&request, ComPortCommand::kPurgeData,
             what == PurgeWhat::kBoth ? kPurgeBoth : kPurgeReceive);
  // It goes out with the next message, in the same packet.
  if (!QueueCommands(s, request)) return;  // reported; the next call fails
  s.inboxLength = 0;
  ++s.purgesUnanswered;
  s.purgeGiveUp = NetworkClock::now() + kAnswerLimit;
}

int NetworkPortWrite(PortHandle, std::span<const uint8_t> bytes, uint32_t* written) {
  NetworkSession& s = networkSession;
  *written = 0;
  const std::span<const uint8_t> data =
      bytes.first(std::min<size_t>(bytes.size(), kNetworkWriteSize));
  const bool binary = ClientSendsBinary(s);
  std::array<uint8_t, 2 * kNetworkWriteSize> encoded{};
  const size_t length = TelnetEncodeData(data, binary, encoded);
  size_t sent = 0;
  if (!SendWithin(s, std::span<const uint8_t>(encoded).first(length), kWriteWait, &sent)) return 0;
  // The data bytes whose encoding went out; one cut in the middle of its
  // escape counts, its second half is owed.
  size_t counted = 0;
  while (*written < data.size() && counted < sent) {
    counted += TelnetDataSize(data[*written], binary);
    ++*written;
  }
  if (counted > sent) {
    s.owed = true;
    s.owedByte = encoded[sent];
  }
  if (*written > 0) {
    s.sentSinceDrain = true;
    s.lineFreeAt = std::max(s.lineFreeAt, NetworkClock::now()) + LineTime(*written, s.baud);
  }
  return 1;
}

int NetworkPortRead(PortHandle, std::span<uint8_t> buffer, uint32_t* got) {
  NetworkSession& s = networkSession;
  *got = 0;
  const NetworkClock::time_point deadline = NetworkClock::now() + kReadLimit;
  NetworkClock::time_point limit = deadline;
  while (*got < buffer.size()) {
    const uint32_t taken = TakeFromInbox(s, buffer.subspan(*got));
    if (taken > 0) {
      *got += taken;
      limit = std::min(NetworkClock::now() + kReadGap, deadline);
      continue;
    }
    const NetworkClock::duration left = limit - NetworkClock::now();
    if (left <= NetworkClock::duration::zero() || StopRequested()) break;
    // A failure after some bytes delivers them; the next read fails.
    if (!ReceiveFromServer(s, left)) return *got > 0 ? 1 : 0;
  }
  return 1;
}

int NetworkPortReadWaiting(PortHandle, std::span<uint8_t> buffer, std::chrono::nanoseconds wait,
                           uint32_t* got) {
  NetworkSession& s = networkSession;
  *got = 0;
  const NetworkClock::time_point deadline = NetworkClock::now() + wait;
  while (true) {
    *got = TakeFromInbox(s, buffer);
    if (*got > 0) return 1;
    // A stop request ends the wait with nothing read: the caller stops.
    const NetworkClock::duration left = deadline - NetworkClock::now();
    if (left <= NetworkClock::duration::zero() || StopRequested()) return 1;
    if (!ReceiveFromServer(s, left)) return 0;
  }
}

void NetworkPortClose(PortHandle port) {
  SystemErrorGuard keepError;
  // Whatever the server still sent is read first: a connection closed with
  // unread data is reset, and a server may then drop what it had not yet
  // passed to its port (korvel's reset message).
  std::array<uint8_t, kReceiveChunk> rest{};
  for (int chunk = 0; chunk < 64 && SocketReceive(port, rest) > 0; ++chunk) {
  }
  SocketClose(port);
  networkSession = NetworkSession{};
}
