// korvel-devsim: a simulated device on a pseudo-terminal, for trying korvel
// by hand or from scripts without hardware.
#include <getopt.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "devsim/device.h"
#include "devsim/devsim.h"

using namespace devsim_internal;

namespace {

struct Options {
  DevsimConfig config;
  std::string linkPath;
  bool exitAfterReset = false;
};

constexpr const char* kUsage =
    "Usage: korvel-devsim [options]\n"
    "Plays a device with its firmware and bootloader on a pseudo-terminal and\n"
    "prints the terminal's path. Ends on SIGINT or SIGTERM.\n"
    "\n"
    "  --link PATH             symlink PATH to the pseudo-terminal (removed on exit)\n"
    "  --flash-out FILE        on every reset, write the flash bytes programmed since\n"
    "                          the last erase to FILE (the image itself, for cmp)\n"
    "  --eeprom-out FILE       the same for the EEPROM\n"
    "  --exit-after-reset      end after the first reset\n"
    "  --log                   one line per frame and event on standard error\n"
    "  --flash-size N          flash size in bytes (default 65536)\n"
    "  --eeprom-size N         EEPROM size in bytes (default 4096)\n"
    "\n"
    "Wire speed:\n"
    "  --paced                 take as long as a real line at the rates korvel sets:\n"
    "                          answer once a message would have arrived, and send\n"
    "                          one byte per byte time (10 bits)\n"
    "  --write-time-us N       programming a block takes N microseconds before its\n"
    "                          reply (default 0)\n"
    "\n"
    "Probe faults:\n"
    "  --no-bootloader         the firmware ignores the activation string\n"
    "  --never-answer          the bootloader answers no probe\n"
    "  --probe-answer BYTE     answer probes with BYTE (0-255) instead of '\\r'\n"
    "  --answer-probe N        answer only the Nth probe\n"
    "  --late-cr               one more '\\r' shortly after each answer\n"
    "  --vanish-after-probes N close the terminal on the Nth probe\n"
    "\n"
    "Reply faults, by message index M (0 is the erase, 1 the first block, ...):\n"
    "  --refuse M              refuse message M\n"
    "  --no-reply M            leave message M unanswered\n"
    "  --vanish M              close the terminal instead of answering message M\n"
    "  --fault M:NAME          any reply fault: no-reply, refuse, three-byte-body,\n"
    "                          wrong-checksum, one-byte-short, split-burst,\n"
    "                          stray-leading-byte, trailing-bytes, wrong-token,\n"
    "                          other-sequence, empty-body, vanish, flood, noise,\n"
    "                          huge-size-claim, stop-reading, reply-then-vanish,\n"
    "                          reply-then-hold\n"
    "  --vanish-mid M:K        close the terminal once K bytes of message M came in\n"
    "  --split-gap M:MS[:N]    answer message M in two bursts MS milliseconds apart,\n"
    "                          the first of N bytes (split-burst with a pause of its\n"
    "                          own; default 60 ms after the 5-byte header)\n"
    "  --custom-body M:HEX     answer message M with the body HEX (e.g. 12c0)\n"
    "  --help                  this text\n";

enum OptionId {
  kLink = 256,
  kFlashOut,
  kEepromOut,
  kExitAfterReset,
  kLog,
  kFlashSize,
  kEepromSize,
  kPaced,
  kWriteTimeUs,
  kNoBootloader,
  kNeverAnswer,
  kProbeAnswer,
  kAnswerProbe,
  kLateCr,
  kVanishAfterProbes,
  kRefuse,
  kNoReply,
  kVanish,
  kFault,
  kCustomBody,
  kVanishMid,
  kSplitGap,
  kHelp,
};

constexpr option kLongOptions[] = {
    {"link", required_argument, nullptr, kLink},
    {"flash-out", required_argument, nullptr, kFlashOut},
    {"eeprom-out", required_argument, nullptr, kEepromOut},
    {"exit-after-reset", no_argument, nullptr, kExitAfterReset},
    {"log", no_argument, nullptr, kLog},
    {"flash-size", required_argument, nullptr, kFlashSize},
    {"eeprom-size", required_argument, nullptr, kEepromSize},
    {"paced", no_argument, nullptr, kPaced},
    {"write-time-us", required_argument, nullptr, kWriteTimeUs},
    {"no-bootloader", no_argument, nullptr, kNoBootloader},
    {"never-answer", no_argument, nullptr, kNeverAnswer},
    {"probe-answer", required_argument, nullptr, kProbeAnswer},
    {"answer-probe", required_argument, nullptr, kAnswerProbe},
    {"late-cr", no_argument, nullptr, kLateCr},
    {"vanish-after-probes", required_argument, nullptr, kVanishAfterProbes},
    {"refuse", required_argument, nullptr, kRefuse},
    {"no-reply", required_argument, nullptr, kNoReply},
    {"vanish", required_argument, nullptr, kVanish},
    {"fault", required_argument, nullptr, kFault},
    {"custom-body", required_argument, nullptr, kCustomBody},
    {"vanish-mid", required_argument, nullptr, kVanishMid},
    {"split-gap", required_argument, nullptr, kSplitGap},
    {"help", no_argument, nullptr, kHelp},
    {nullptr, 0, nullptr, 0},
};

// A whole decimal number within [low, high], or false. Stops at |end| when
// given, which then points at the first byte after the digits.
bool ParseNumber(const char* text, long low, long high, long* value, const char** end = nullptr) {
  char* stop = nullptr;
  errno = 0;
  const long number = std::strtol(text, &stop, 10);
  if (stop == text || errno != 0 || number < low || number > high) return false;
  if (end != nullptr) {
    *end = stop;
  } else if (*stop != '\0') {
    return false;
  }
  *value = number;
  return true;
}

bool ParseHexBytes(const char* text, std::vector<uint8_t>* bytes) {
  const size_t length = std::strlen(text);
  if (length % 2 != 0) return false;
  for (size_t i = 0; i < length; i += 2) {
    const char pair[3] = {text[i], text[i + 1], '\0'};
    char* stop = nullptr;
    const unsigned long value = std::strtoul(pair, &stop, 16);
    if (*stop != '\0' || !std::isxdigit(static_cast<unsigned char>(pair[0]))) return false;
    bytes->push_back(static_cast<uint8_t>(value));
  }
  return true;
}

// "M:REST" for --fault and --custom-body.
bool ParseIndexed(const char* text, int* index, const char** rest) {
  long value = 0;
  const char* end = nullptr;
  if (!ParseNumber(text, 0, 1000000, &value, &end) || *end != ':') return false;
  *index = static_cast<int>(value);
  *rest = end + 1;
  return true;
}

bool SetFault(Options* options, const char* indexText, ReplyFault fault) {
  long index = 0;
  if (!ParseNumber(indexText, 0, 1000000, &index)) return false;
  options->config.replies[static_cast<int>(index)].fault = fault;
  return true;
}

bool ApplyOption(int id, const char* value, Options* options) {
  DevsimConfig& config = options->config;
  long number = 0;
  int index = 0;
  const char* rest = nullptr;
  switch (id) {
    case kLink:
      options->linkPath = value;
      return true;
    case kFlashOut:
      config.flashOutPath = value;
      return true;
    case kEepromOut:
      config.eepromOutPath = value;
      return true;
    case kExitAfterReset:
      options->exitAfterReset = true;
      return true;
    case kLog:
      config.logFrames = true;
      return true;
    case kFlashSize:
    case kEepromSize:
      if (!ParseNumber(value, 1, 16L << 20, &number)) return false;
      (id == kFlashSize ? config.flashSize : config.eepromSize) = static_cast<uint32_t>(number);
      return true;
    case kPaced:
      config.paced = true;
      return true;
    case kWriteTimeUs:
      if (!ParseNumber(value, 0, 10'000'000, &number)) return false;
      config.writeTimeUs = static_cast<uint32_t>(number);
      return true;
    case kNoBootloader:
      config.probes.neverEnterBootloader = true;
      return true;
    case kNeverAnswer:
      config.probes.neverAnswer = true;
      return true;
    case kProbeAnswer:
      if (!ParseNumber(value, 0, 255, &number)) return false;
      config.probes.otherByte = static_cast<int>(number);
      return true;
    case kAnswerProbe:
      if (!ParseNumber(value, 1, 1000000, &number)) return false;
      config.probes.answerOnlyProbe = static_cast<int>(number);
      return true;
    case kLateCr:
      config.probes.lateExtraCarriageReturn = true;
      return true;
    case kVanishAfterProbes:
      if (!ParseNumber(value, 1, 1000000, &number)) return false;
      config.probes.vanishAfterProbes = static_cast<int>(number);
      return true;
    case kRefuse:
      return SetFault(options, value, ReplyFault::kRefuse);
    case kNoReply:
      return SetFault(options, value, ReplyFault::kNoReply);
    case kVanish:
      return SetFault(options, value, ReplyFault::kVanish);
    case kFault: {
      ReplyFault fault = ReplyFault::kNone;
      // A custom body needs its bytes, a vanish midway its byte count:
      // --custom-body and --vanish-mid give them.
      if (!ParseIndexed(value, &index, &rest) || !ParseReplyFault(rest, &fault) ||
          fault == ReplyFault::kCustomBody || fault == ReplyFault::kVanishMidMessage) {
        return false;
      }
      config.replies[index].fault = fault;
      return true;
    }
    case kCustomBody: {
      ReplyPlan plan{ReplyFault::kCustomBody, {}};
      if (!ParseIndexed(value, &index, &rest) || !ParseHexBytes(rest, &plan.customBody))
        return false;
      config.replies[index] = plan;
      return true;
    }
    case kVanishMid:
      // A frame is at least 6 bytes long; the count must stop short of its end.
      if (!ParseIndexed(value, &index, &rest) || !ParseNumber(rest, 1, 1000, &number)) return false;
      config.replies[index] =
          ReplyPlan{ReplyFault::kVanishMidMessage, {}, static_cast<uint32_t>(number)};
      return true;
    case kSplitGap: {
      // M:MS, or M:MS:N with the bytes before the pause.
      const char* end = nullptr;
      if (!ParseIndexed(value, &index, &rest) || !ParseNumber(rest, 0, 10000, &number, &end))
        return false;
      ReplyPlan plan{ReplyFault::kSplitBurst, {}};
      plan.splitGapMs = static_cast<uint32_t>(number);
      if (*end == ':') {
        if (!ParseNumber(end + 1, 1, 1000, &number)) return false;
        plan.splitAt = static_cast<uint32_t>(number);
      } else if (*end != '\0') {
        return false;
      }
      config.replies[index] = plan;
      return true;
    }
    default:
      return false;
  }
}

// 1 to go on, 0 for --help, -1 for a bad command line.
int ParseOptions(int argc, char** argv, Options* options) {
  int id = 0;
  while ((id = getopt_long(argc, argv, "", kLongOptions, nullptr)) != -1) {
    if (id == kHelp) return 0;
    if (id == '?') return -1;
    if (!ApplyOption(id, optarg, options)) {
      const option* named = kLongOptions;
      while (named->val != id) ++named;
      std::fprintf(stderr, "korvel-devsim: bad value for --%s: %s\n", named->name,
                   optarg == nullptr ? "" : optarg);
      return -1;
    }
  }
  if (optind < argc) {
    std::fprintf(stderr, "korvel-devsim: unexpected argument %s\n", argv[optind]);
    return -1;
  }
  return 1;
}

// Points |linkPath| at |target|. A symlink left behind by an earlier run is
// replaced; anything else at that path is left alone and is an error.
bool CreateLink(const std::string& linkPath, const std::string& target) {
  struct stat existing {};
  if (lstat(linkPath.c_str(), &existing) == 0 && S_ISLNK(existing.st_mode)) {
    unlink(linkPath.c_str());
  }
  return symlink(target.c_str(), linkPath.c_str()) == 0;
}

// True once the program should end on its own.
bool DeviceIsDone(Devsim* devsim, bool exitAfterReset) {
  return DevsimWaitUntil(
      devsim,
      [&](const DevsimRecord& record) {
        return record.vanished || (exitAfterReset && record.resets > 0);
      },
      0);
}

}  // namespace

int main(int argc, char** argv) {
  // 1. The command line.
  Options options;
  const int parsed = ParseOptions(argc, argv, &options);
  if (parsed <= 0) {
    std::fputs(kUsage, parsed == 0 ? stdout : stderr);
    return parsed == 0 ? 0 : 2;
  }

  // 2. SIGINT and SIGTERM arrive through a descriptor, never as handlers.
  // Blocked before the device thread starts, so that it inherits the mask
  // and the signals always reach the descriptor.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  const int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
  if (signalFd < 0) {
    std::perror("korvel-devsim: signalfd");
    return 1;
  }

  // 3. The device, then its symlink, then the announcement that it is ready.
  DevsimPtr devsim(StartDevsim(options.config));
  if (!devsim) {
    std::perror("korvel-devsim: no pseudo-terminal");
    return 1;
  }
  const std::string path = DevsimPortPath(devsim.get());
  if (!options.linkPath.empty() && !CreateLink(options.linkPath, path)) {
    std::fprintf(stderr, "korvel-devsim: cannot link %s: %s\n", options.linkPath.c_str(),
                 std::strerror(errno));
    return 1;
  }
  std::printf("korvel-devsim: device on %s\n", path.c_str());
  std::fflush(stdout);

  // 4. Run until a signal, a reset (with --exit-after-reset) or a vanish.
  int status = 0;
  while (!DeviceIsDone(devsim.get(), options.exitAfterReset)) {
    pollfd fds[2] = {{signalFd, POLLIN, 0}, {DevsimChangeFd(devsim.get()), POLLIN, 0}};
    const int ready = poll(fds, 2, 1000);
    if (ready < 0 && errno != EINTR) {
      std::perror("korvel-devsim: poll");
      status = 1;
      break;
    }
    if (ready > 0 && fds[0].revents != 0) break;
    if (ready > 0 && fds[1].revents != 0) {
      uint64_t changes = 0;
      const ssize_t ignored = read(fds[1].fd, &changes, sizeof changes);
      (void)ignored;
    }
  }

  // 5. Stop the device before the link goes, then the link.
  devsim.reset();
  if (!options.linkPath.empty()) unlink(options.linkPath.c_str());
  close(signalFd);
  return status;
}
