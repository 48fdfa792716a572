// The other ends of korvel's network port in the tests: a real ser2net in
// front of a simulated device, a hostile server of the tests' own for what
// ser2net won't do, and a proxy that impairs the stream between them.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

#include "tests/e2e/run_korvel.h"

namespace korvel_e2e {

// rfc2217://127.0.0.1:|port|
std::string LoopbackUrl(uint16_t port);

// Debian's ser2net, started with a configuration of its own in front of
// |devicePort| (a simulated device's pseudo-terminal) on a free loopback
// port: telnet with RFC 2217, TCP without Nagle's delay, one connection at a
// time, the device's bytes passed on as they come (no "chardelay"), as the
// configuration in docs/network.md. Throws when ser2net is missing or does
// not listen within 5 s.
class Ser2net {
 public:
  explicit Ser2net(const std::string& devicePort);
  ~Ser2net();
  Ser2net(const Ser2net&) = delete;
  Ser2net& operator=(const Ser2net&) = delete;

  std::string url() const { return LoopbackUrl(port_); }
  uint16_t port() const { return port_; }
  // Ends ser2net at once, as a crash would.
  void Kill();

 private:
  TempDir dir_;
  pid_t pid_ = -1;
  uint16_t port_ = 0;
};

// What a hostile server does.
enum class Hostility {
  kAbsent,                 // nothing listens: a connection is refused
  kNeverAccepts,           // its queue is full: a connection goes unanswered
  kSilent,                 // reads everything, answers nothing
  kEndlessSubnegotiation,  // IAC SB 44, then megabytes without IAC SE
  kWrongRate,              // answers every rate with half of it
  kJunk,                   // answers every request, then sends megabytes of junk data
  kCloseAfterBytes,        // answers every request, closes once it has read |closeAfter| bytes
};

// A server of the tests' own on a free loopback port, on a thread; it takes
// one connection. Its telnet is korvel's own codec: what it tests is
// korvel's reaction to the server's conduct.
class HostileServer {
 public:
  explicit HostileServer(Hostility hostility, size_t closeAfter = 0);
  ~HostileServer();
  HostileServer(const HostileServer&) = delete;
  HostileServer& operator=(const HostileServer&) = delete;

  std::string url() const { return LoopbackUrl(port_); }
  // The bytes it sent korvel.
  size_t sent() const { return sent_; }

 private:
  void Serve(Hostility hostility, size_t closeAfter);

  int listener_ = -1;
  int queued_ = -1;  // kNeverAccepts: the connection that fills the queue
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<size_t> sent_{0};
  std::thread thread_;
};

// What a proxy does to the stream, the same in both directions.
struct Impairment {
  // Added to every byte's way.
  std::chrono::microseconds delay{0};
  // Up to this much more for each byte, at random.
  int jitterUs = 0;
  // The share of chunks (in per cent) held 300 ms with all that follows
  // them, as the retransmission of a lost packet holds the stream.
  int holdPercent = 0;
  // Every byte in a write (so a packet) of its own.
  bool singleBytes = false;
  // Makes the random choices repeatable.
  unsigned seed = 1;
};

// Between korvel and a server on |serverPort|, impairing the stream as
// |impairment| says; order is kept. It takes one connection.
class ImpairingProxy {
 public:
  ImpairingProxy(uint16_t serverPort, const Impairment& impairment);
  ~ImpairingProxy();
  ImpairingProxy(const ImpairingProxy&) = delete;
  ImpairingProxy& operator=(const ImpairingProxy&) = delete;

  std::string url() const { return LoopbackUrl(port_); }
  // How often it held the stream.
  int holds() const { return holds_; }

 private:
  void Relay(uint16_t serverPort, const Impairment& impairment);

  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> holds_{0};
  std::thread thread_;
};

}  // namespace korvel_e2e
