// Reading what korvel did to its port from an strace log, for the checks
// that a pseudo-terminal can't answer reliably: the line rate at the moment
// each byte was handed to the port.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvel_e2e {

// The strace options whose log PortEvents reads: every process, structures
// in full (the line rate is in them), strings in hexadecimal.
std::vector<std::string> TraceOptions(const std::string& logPath);

struct PortEvent {
  enum class Kind {
    kRate,           // the line rate was set (rate)
    kWrite,          // bytes handed to the port (bytes)
    kDrain,          // waited for the output to leave (tcdrain)
    kPurgeReceive,   // dropped the received bytes
    kPurgeTransmit,  // dropped bytes not yet sent
    kPurgeBoth,
  };
  Kind kind;
  uint32_t rate = 0;
  std::string bytes;
};

// The calls on the file descriptor that opened |portPath|, in order. Only
// successful calls count.
std::vector<PortEvent> PortEvents(const std::string& log, const std::string& portPath);

// A readable list of events, for assertion messages.
std::string Describe(const std::vector<PortEvent>& events);

}  // namespace korvel_e2e
