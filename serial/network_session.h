// The connection to a device server under a network port: what korvel
// received and not yet read, the server's answers to its COM-PORT-OPTION
// requests, and the sending of requests and data. The network port's
// operations (network_port.cpp) are built on it.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

#include "serial/serial_port.h"
#include "serial/telnet.h"

using NetworkClock = std::chrono::steady_clock;

// Every wait on the network is cut into slices no longer than this, the
// longest a local read waits.
inline constexpr std::chrono::milliseconds kNetworkSlice{150};

// The longest korvel waits for the server to answer one request.
inline constexpr std::chrono::milliseconds kAnswerLimit{2000};

// Data from the server that korvel has not read yet. Beyond this the
// server's data is dropped, as a serial driver's full buffer drops bytes, so
// that a flood can neither fill memory nor hide the server's answers.
inline constexpr size_t kInboxSize = 4096;

// What one receive call takes from the connection, and the most data one
// send call carries after what is pending (more goes in further calls).
inline constexpr size_t kReceiveChunk = 2048;
inline constexpr size_t kSendChunk = 2048;

// Commands waiting to go out with the next send: negotiation answers, which
// korvel gives each option at most a few times, and purge requests, which
// go in one packet with the message after them. Never full but for a server
// that reads nothing.
inline constexpr size_t kPendingSize = 512;

struct NetworkSession {
  PortHandle connection = kNoPort;
  TelnetOptions options{};
  TelnetDecoder decoder{};

  std::array<uint8_t, kInboxSize> inbox{};
  size_t inboxLength = 0;
  // PURGE-DATA requests that the server has not answered yet: what it sent
  // before its answer was sent before the purge, and is dropped. korvel
  // stops waiting for the answer at |purgeGiveUp|.
  int purgesUnanswered = 0;
  NetworkClock::time_point purgeGiveUp{};

  // The server's answers, by request code: how many came, and the value of
  // the last one (its first four bytes, high byte first).
  std::array<uint32_t, kComPortLastCommand + 1> answers{};
  std::array<uint32_t, kComPortLastCommand + 1> answerValues{};

  // The second byte of an escape (IAC IAC, CR NUL) whose first byte went
  // out at the end of a write; it goes before anything else, then the
  // pending commands.
  bool owed = false;
  uint8_t owedByte = 0;
  std::array<uint8_t, kPendingSize> pending{};
  size_t pendingLength = 0;

  // The rate the server confirmed last; 0 before the first.
  uint32_t baud = 0;
  // Data size, parity, stop bits and the control lines were set.
  bool lineSetUp = false;
  // Data was written since the server last confirmed it has everything,
  // and when the server's line would be done sending it, each byte taking
  // its time at |baud| from when it was written.
  bool sentSinceDrain = false;
  NetworkClock::time_point lineFreeAt{};

  // The connection failed (the server closed or reset it, a send or receive
  // failed): every later call fails at once with |failedCode|, reported
  // once where it happened.
  bool failed = false;
  unsigned long failedCode = 0;
};

// The one network port a run has; its connection is kNoPort while none is
// open.
extern NetworkSession networkSession;

// Whether the server sends, and korvel may send, binary data.
bool ServerSendsBinary(const NetworkSession& s);
bool ClientSendsBinary(const NetworkSession& s);

// Waits up to |wait| (at most one slice) for the server and takes in what
// it sent: data into the inbox, answers counted, negotiations answered.
// Returns 1, whether or not anything came; 0 when the connection has
// failed, after the report "recv" if it failed here.
int ReceiveFromServer(NetworkSession& s, NetworkClock::duration wait);

// One step of a wait for the server: takes in what it sent within one
// slice. Returns 1 to wait on; 0 when |deadline| has passed (with the
// system's "timed out"), the run is asked to stop (with its "interrupted")
// or the connection failed.
int AwaitServer(NetworkSession& s, NetworkClock::time_point deadline);

// Waits until the server has sent |count| answers to |command| in all, or
// |deadline| passes. Returns 1, or 0 as AwaitServer does.
int WaitForAnswers(NetworkSession& s, ComPortCommand command, uint32_t count,
                   NetworkClock::time_point deadline);

// Sends |bytes| (telnet commands) whole within kAnswerLimit, after what is
// pending. Returns 1, or 0 after the report "send".
int SendCommands(NetworkSession& s, std::span<const uint8_t> bytes);

// Queues |bytes| (telnet commands) to go out with the next send; sends them
// at once when they don't fit. Returns 1, or 0 after the report "send".
int QueueCommands(NetworkSession& s, std::span<const uint8_t> bytes);

// Sends what it can within |wait| of what is pending (a half-sent escape,
// then queued commands) and |bytes| after it, in one system call where the
// system takes it all; a server that takes nothing leaves |sent| (of
// |bytes|) at 0. Returns 1, or 0 after the report "send".
int SendWithin(NetworkSession& s, std::span<const uint8_t> bytes, NetworkClock::duration wait,
               size_t* sent);

// Moves up to |buffer|'s size of the inbox into |buffer|; returns the count.
uint32_t TakeFromInbox(NetworkSession& s, std::span<uint8_t> buffer);

// Marks the connection failed with the current error code.
void MarkFailed(NetworkSession& s);
