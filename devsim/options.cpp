#include "devsim/options.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "devsim/frames.h"
#include "tools/command_line.h"

using namespace devsim_internal;

namespace {

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

bool SetFlag(bool* field) {
  *field = true;
  return true;
}

bool SetText(const char* text, std::string* field) {
  *field = text;
  return true;
}

// ParseNumber into a field of the configuration, left alone on a failure.
template <typename Field>
bool SetNumber(const char* text, long low, long high, Field* field) {
  long number = 0;
  if (!ParseNumber(text, low, high, &number)) return false;
  *field = static_cast<Field>(number);
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

// "M:REST" for the options that plan the reply to message M.
bool ParseIndexed(const char* text, int* index, const char** rest) {
  long value = 0;
  const char* end = nullptr;
  if (!ParseNumber(text, 0, 1000000, &value, &end) || *end != ':') return false;
  *index = static_cast<int>(value);
  *rest = end + 1;
  return true;
}

bool SetFault(const char* indexText, ReplyFault fault, DevsimOptions* options) {
  long index = 0;
  if (!ParseNumber(indexText, 0, 1000000, &index)) return false;
  options->config.replies[static_cast<int>(index)].fault = fault;
  return true;
}

// --fault M:NAME. A custom body needs its bytes, a vanish midway its byte
// count: --custom-body and --vanish-mid give them.
bool SetNamedFault(const char* value, DevsimOptions* options) {
  int index = 0;
  const char* rest = nullptr;
  ReplyFault fault = ReplyFault::kNone;
  if (!ParseIndexed(value, &index, &rest) || !ParseReplyFault(rest, &fault) ||
      fault == ReplyFault::kCustomBody || fault == ReplyFault::kVanishMidMessage) {
    return false;
  }
  options->config.replies[index].fault = fault;
  return true;
}

// --custom-body M:HEX.
bool SetCustomBody(const char* value, DevsimOptions* options) {
  int index = 0;
  const char* rest = nullptr;
  ReplyPlan plan{ReplyFault::kCustomBody, {}};
  if (!ParseIndexed(value, &index, &rest) || !ParseHexBytes(rest, &plan.customBody)) return false;
  options->config.replies[index] = plan;
  return true;
}

// --vanish-mid M:K. A frame is at least 6 bytes long; the count must stop
// short of its end.
bool SetVanishMidway(const char* value, DevsimOptions* options) {
  int index = 0;
  const char* rest = nullptr;
  long count = 0;
  if (!ParseIndexed(value, &index, &rest) || !ParseNumber(rest, 1, 1000, &count)) return false;
  options->config.replies[index] =
      ReplyPlan{ReplyFault::kVanishMidMessage, {}, static_cast<uint32_t>(count)};
  return true;
}

// --split-gap M:MS, or M:MS:N with the bytes before the pause.
bool SetSplitGap(const char* value, DevsimOptions* options) {
  int index = 0;
  const char* rest = nullptr;
  const char* end = nullptr;
  long number = 0;
  if (!ParseIndexed(value, &index, &rest) || !ParseNumber(rest, 0, 10000, &number, &end)) {
    return false;
  }
  ReplyPlan plan{ReplyFault::kSplitBurst, {}};
  plan.splitGapMs = static_cast<uint32_t>(number);
  if (*end == ':') {
    if (!ParseNumber(end + 1, 1, 1000, &number)) return false;
    plan.splitAt = static_cast<uint32_t>(number);
  } else if (*end != '\0') {
    return false;
  }
  options->config.replies[index] = plan;
  return true;
}

// One option: its name after "--", whether it takes a value, and how it
// fills the options (false for a value it can't take; a flag gets none).
struct OptionRow {
  const char* name;
  bool takesValue;
  bool (*apply)(const char* value, DevsimOptions* options);
};

constexpr bool kFlag = false;
constexpr bool kValue = true;
using O = DevsimOptions;

constexpr OptionRow kOptionRows[] = {
    {"link", kValue, [](const char* v, O* o) { return SetText(v, &o->linkPath); }},
    {"flash-out", kValue, [](const char* v, O* o) { return SetText(v, &o->config.flashOutPath); }},
    {"eeprom-out", kValue,
     [](const char* v, O* o) { return SetText(v, &o->config.eepromOutPath); }},
    {"exit-after-reset", kFlag, [](const char*, O* o) { return SetFlag(&o->exitAfterReset); }},
    {"log", kFlag, [](const char*, O* o) { return SetFlag(&o->config.logFrames); }},
    {"flash-size", kValue,
     [](const char* v, O* o) { return SetNumber(v, 1, 16L << 20, &o->config.flashSize); }},
    {"eeprom-size", kValue,
     [](const char* v, O* o) { return SetNumber(v, 1, 16L << 20, &o->config.eepromSize); }},
    {"paced", kFlag, [](const char*, O* o) { return SetFlag(&o->config.paced); }},
    {"write-time-us", kValue,
     [](const char* v, O* o) { return SetNumber(v, 0, 10'000'000, &o->config.writeTimeUs); }},
    {"no-bootloader", kFlag,
     [](const char*, O* o) { return SetFlag(&o->config.probes.neverEnterBootloader); }},
    {"never-answer", kFlag,
     [](const char*, O* o) { return SetFlag(&o->config.probes.neverAnswer); }},
    {"probe-answer", kValue,
     [](const char* v, O* o) { return SetNumber(v, 0, 255, &o->config.probes.otherByte); }},
    {"answer-probe", kValue,
     [](const char* v, O* o) {
       return SetNumber(v, 1, 1000000, &o->config.probes.answerOnlyProbe);
     }},
    {"late-cr", kFlag,
     [](const char*, O* o) { return SetFlag(&o->config.probes.lateExtraCarriageReturn); }},
    {"vanish-after-probes", kValue,
     [](const char* v, O* o) {
       return SetNumber(v, 1, 1000000, &o->config.probes.vanishAfterProbes);
     }},
    {"refuse", kValue, [](const char* v, O* o) { return SetFault(v, ReplyFault::kRefuse, o); }},
    {"no-reply", kValue, [](const char* v, O* o) { return SetFault(v, ReplyFault::kNoReply, o); }},
    {"vanish", kValue, [](const char* v, O* o) { return SetFault(v, ReplyFault::kVanish, o); }},
    {"fault", kValue, SetNamedFault},
    {"custom-body", kValue, SetCustomBody},
    {"vanish-mid", kValue, SetVanishMidway},
    {"split-gap", kValue, SetSplitGap},
};

// The command line's reading: every option of the table, in its order in
// |table| (each may come more than once), the usage as the help text, and
// a bad command line reported as korvel-devsim reports it, with the usage.
void DescribeOptions(CLI::App* app, std::vector<CLI::Option*>* table,
                     std::vector<std::string>* extra) {
  UseUsageText(app, "korvel-devsim", kUsage);
  for (const OptionRow& row : kOptionRows) {
    const std::string name = std::string("--") + row.name;
    CLI::Option* option = row.takesValue ? app->add_option(name)->type_name("VALUE")
                                         : app->add_flag(name)->disable_flag_override();
    table->push_back(option->multi_option_policy(CLI::MultiOptionPolicy::TakeAll));
  }
  // What is no option is read here, and then refused.
  app->add_option("extra", *extra);
}

// Fills |options| from what the command line gave, in its order, so that a
// later option wins over an earlier one. False, with the reason printed,
// for a value an option can't take.
bool ApplyOptions(const CLI::App& app, const std::vector<CLI::Option*>& table,
                  DevsimOptions* options) {
  std::map<const CLI::Option*, size_t> taken;
  for (const CLI::Option* option : app.parse_order()) {
    const auto found = std::find(table.begin(), table.end(), option);
    if (found == table.end()) continue;  // an extra argument
    const OptionRow& row = kOptionRows[found - table.begin()];
    const std::string& value = option->results()[taken[option]++];
    if (!row.apply(value.c_str(), options)) {
      std::fprintf(stderr, "korvel-devsim: bad value for --%s: %s\n", row.name, value.c_str());
      return false;
    }
  }
  return true;
}

}  // namespace

bool ReadDevsimOptions(int argc, char** argv, DevsimOptions* options, int* status) {
  CLI::App app("", "korvel-devsim");
  std::vector<CLI::Option*> table;
  std::vector<std::string> extra;
  DescribeOptions(&app, &table, &extra);
  if (!ParseCommandLine(&app, argc, argv, status)) return false;
  *status = kUsageError;
  if (!ApplyOptions(app, table, options)) {
    std::fputs(kUsage, stderr);
    return false;
  }
  if (!extra.empty()) {
    std::fprintf(stderr, "korvel-devsim: unexpected argument %s\n", extra[0].c_str());
    std::fputs(kUsage, stderr);
    return false;
  }
  return true;
}
