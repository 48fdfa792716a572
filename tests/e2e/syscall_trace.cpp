#include "tests/e2e/syscall_trace.h"

#include <map>
#include <regex>
#include <sstream>

namespace korvel_e2e {

namespace {

// A string as strace -xx prints it ("\x2f\x64..."), decoded.
std::string DecodeHex(const std::string& text) {
  std::string bytes;
  for (size_t i = 0; i + 4 <= text.size() && text.compare(i, 2, "\\x") == 0; i += 4) {
    bytes.push_back(static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16)));
  }
  return bytes;
}

// The rate a successful set-attributes call put in force, or 0 when the
// call carries none (a termios without speed fields and BOTHER in
// c_cflag leaves the rate as it was).
uint32_t RateOf(const std::string& arguments) {
  static const std::regex kSpeed(R"re(c_ospeed=([0-9]+))re");
  static const std::regex kBaudCode(R"re(c_cflag=(?:[^,]*\|)?B([0-9]+)[|,])re");
  std::smatch match;
  if (std::regex_search(arguments, match, kSpeed))
    return static_cast<uint32_t>(std::stoul(match[1]));
  if (std::regex_search(arguments, match, kBaudCode)) {
    return static_cast<uint32_t>(std::stoul(match[1]));
  }
  return 0;
}

}  // namespace

std::vector<std::string> TraceOptions(const std::string& logPath) {
  return {"-f", "-v", "-xx", "-e", "trace=open,openat,ioctl,write", "-o", logPath};
}

std::vector<PortEvent> PortEvents(const std::string& log, const std::string& portPath) {
  static const std::regex kOpen(R"re(open(?:at)?\((?:AT_FDCWD, )?"([^"]*)".*\) += ([0-9]+)$)re");
  static const std::regex kWrite(
      R"re(write\(([0-9]+), "([^"]*)"(?:\.\.\.)?, [0-9]+\) += ([0-9]+)$)re");
  static const std::regex kIoctl(
      R"re(ioctl\(([0-9]+), (?:[A-Z0-9_]+ or )?([A-Z0-9_]+)(.*)\) += 0$)re");

  std::vector<PortEvent> events;
  std::string portFd;
  // A call that another traced process interrupted shows as
  // "<pid> call(... <unfinished ...>" and later "<pid> <... call resumed>...":
  // joined again here, by process id.
  std::map<std::string, std::string> unfinished;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    const std::string pid = line.substr(0, line.find(' '));
    if (const size_t cut = line.find(" <unfinished ...>"); cut != std::string::npos) {
      unfinished[pid] = line.substr(0, cut);
      continue;
    }
    if (const size_t resumed = line.find(" resumed>"); resumed != std::string::npos) {
      line = unfinished[pid] + line.substr(resumed + std::string(" resumed>").size());
      unfinished.erase(pid);
    }
    std::smatch match;
    if (std::regex_search(line, match, kOpen)) {
      if (DecodeHex(match[1]) == portPath) portFd = match[2];
    } else if (std::regex_search(line, match, kWrite)) {
      if (match[1] != portFd || portFd.empty()) continue;
      std::string bytes = DecodeHex(match[2]);
      bytes.resize(std::stoul(match[3]));
      events.push_back({PortEvent::Kind::kWrite, 0, bytes});
    } else if (std::regex_search(line, match, kIoctl)) {
      if (match[1] != portFd || portFd.empty()) continue;
      const std::string request = match[2];
      const std::string arguments = match[3];
      if (request.rfind("TCSETS", 0) == 0) {
        if (const uint32_t rate = RateOf(arguments); rate != 0) {
          events.push_back({PortEvent::Kind::kRate, rate, {}});
        }
      } else if (request == "TCSBRK" && arguments == ", 1") {
        events.push_back({PortEvent::Kind::kDrain, 0, {}});
      } else if (request == "TCFLSH") {
        const PortEvent::Kind kind = arguments == ", TCIFLUSH"   ? PortEvent::Kind::kPurgeReceive
                                     : arguments == ", TCOFLUSH" ? PortEvent::Kind::kPurgeTransmit
                                                                 : PortEvent::Kind::kPurgeBoth;
        events.push_back({kind, 0, {}});
      }
    }
  }
  return events;
}

std::string Describe(const std::vector<PortEvent>& events) {
  std::ostringstream text;
  for (const PortEvent& event : events) {
    switch (event.kind) {
      case PortEvent::Kind::kRate:
        text << "  rate " << event.rate << "\n";
        break;
      case PortEvent::Kind::kWrite:
        text << "  write";
        for (unsigned char byte : event.bytes) text << " " << std::hex << int{byte} << std::dec;
        text << "\n";
        break;
      case PortEvent::Kind::kDrain:
        text << "  drain\n";
        break;
      case PortEvent::Kind::kPurgeReceive:
        text << "  purge receive\n";
        break;
      case PortEvent::Kind::kPurgeTransmit:
        text << "  purge transmit\n";
        break;
      case PortEvent::Kind::kPurgeBoth:
        text << "  purge both\n";
        break;
    }
  }
  return text.str();
}

}  // namespace korvel_e2e
