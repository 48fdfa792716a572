// Plain words for a failed run: a table from where the run stopped (its
// phase, its innermost report's step and the kind of its error code) to a
// text with the port or file, the system's text for the code, and the
// likely cause and fix.
#include "app/explanation.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>

#include "common/result_lines.h"
#include "common/run_state.h"
#include "common/system.h"
#include "image/image_notes.h"
#include "serial/serial_port.h"

namespace {

// Where the run stopped, told by its reports and its result line.
enum class Phase { kPortSetup, kActivation, kImage, kProgramming, kReset, kHwParamWord };

// Matches any step, or any kind of error code.
constexpr const char* kAnyStep = "*";
constexpr SystemErrorKind kAnyKind = SystemErrorKind::kOther;

// One explanation. The text may hold {port} (the port argument and the
// path tried), {image} (the image argument), {error} (the system's text
// for the innermost report's code), {step} and {group} (the group that may
// use the port).
struct ExplanationRow {
  Phase phase;
  const char* step;
  SystemErrorKind kind;  // kOther: any
  const char* text;
};

constexpr const char* kStaysInBootloader =
    " The device stays in its bootloader until a run succeeds.";

// A network port's server or network that failed under the run.
constexpr const char* kServerGone =
    "The connection to the serial server at {port} failed ({step}: {error}): the server "
    "stopped or closed it, or the network went away. Check the server and the network, then "
    "run again.";

constexpr std::array<ExplanationRow, 35> kExplanations = {{
    // The port: opened and set up before anything goes to the device.
    // A network port (rfc2217://): reaching the server and setting its line.
    {Phase::kPortSetup, "getaddrinfo", kAnyKind,
     "korvel could not find the host of the network port {port}: check the host name, or give "
     "its address."},
    {Phase::kPortSetup, "connect", kAnyKind,
     "korvel could not connect to the network port {port}: {error}. Check that the serial "
     "server runs, listens on that port, and can be reached from here."},
    {Phase::kPortSetup, "SetCommState", SystemErrorKind::kTimedOut,
     "The serial server at {port} did not confirm the line settings ({error}): check that it "
     "speaks telnet with RFC 2217 (ser2net: telnet(rfc2217))."},
    {Phase::kPortSetup, "SetCommState", SystemErrorKind::kUnsupported,
     "The serial server at {port} refuses to set the line (RFC 2217): configure the port with "
     "RFC 2217 (ser2net: telnet(rfc2217))."},
    {Phase::kPortSetup, "recv", kAnyKind, kServerGone},
    {Phase::kPortSetup, "send", kAnyKind, kServerGone},
    {Phase::kPortSetup, "CreateFile", SystemErrorKind::kNotFound,
     "korvel could not open the port {port}: {error}. No port has that name: check that the "
     "adapter is plugged in and the name is right (korvel-ports lists the ports)."},
    {Phase::kPortSetup, "CreateFile", SystemErrorKind::kNoPermission,
     "korvel may not open the port {port}: {error}. Join the group {group} (sudo usermod -aG "
     "{group} \"$USER\", then log in again)."},
    {Phase::kPortSetup, "CreateFile", SystemErrorKind::kBusy,
     "korvel could not open the port {port}: {error}. Another program holds it (a terminal "
     "program, a serial monitor, another korvel): close that program and run again."},
    {Phase::kPortSetup, "CreateFile", SystemErrorKind::kNotAPort,
     "korvel could not open the port {port}: {error}. Give the serial device itself."},
    {Phase::kPortSetup, "CreateFile", kAnyKind, "korvel could not open the port {port}: {error}."},
    {Phase::kPortSetup, kAnyStep, SystemErrorKind::kNotAPort,
     "{port} is not a serial port ({step}: {error}): give the serial device itself."},
    {Phase::kPortSetup, "SetCommState", kAnyKind,
     "The port {port} refused the activation rate ({error}): give a rate the adapter supports "
     "as the third argument, or FORCE when the bootloader already runs."},
    {Phase::kPortSetup, kAnyStep, kAnyKind,
     "The driver of the port {port} did not take its settings ({step}: {error}): unplug and "
     "replug the adapter, or try another port."},
    // The wake-up.
    {Phase::kActivation, "", kAnyKind,
     "The device on {port} did not answer the bootloader's sync probe. Check that it is powered "
     "and wired; if its firmware listens at another rate, give that rate as the third "
     "argument; if its bootloader already runs, add FORCE. A program that holds the port open "
     "(a terminal program) takes the device's answers away from korvel."},
    {Phase::kActivation, "recv", kAnyKind, kServerGone},
    {Phase::kActivation, "send", kAnyKind, kServerGone},
    {Phase::kActivation, kAnyStep, kAnyKind,
     "korvel lost the port {port} while it woke the bootloader ({step}: {error}): check the "
     "cable and the adapter, then run again."},
    // The image, read after the wake-up and before anything is erased.
    {Phase::kImage, "CreateFile", kAnyKind,
     "korvel could not open the image file {image}: {error}. Check the file's name and "
     "folder.{stays}"},
    {Phase::kImage, "GetFileInformationByHandle", kAnyKind,
     "korvel could not read the size of the image file {image}: {error}.{stays}"},
    {Phase::kImage, "File to big", kAnyKind,
     "The image file {image} has 65,536 bytes or more; an image holds at most 65,535.{stays}"},
    {Phase::kImage, "Reading in the file failed", kAnyKind,
     "korvel could not read the image file {image} whole ({error}): give a plain file that "
     "does not change while it is read.{stays}"},
    {Phase::kImage, "Reading in the data failed", kAnyKind,
     "The image file {image} is empty.{stays}"},
    {Phase::kImage, "Wrong image type", kAnyKind,
     "The file {image} has no firmware marker, so it is no firmware image; nothing was erased "
     "or sent. An EEPROM image needs \"eeprom.bin\" (small letters) in its name.{stays}"},
    // The programming.
    {Phase::kProgramming, "recv", kAnyKind, kServerGone},
    {Phase::kProgramming, "send", kAnyKind, kServerGone},
    {Phase::kProgramming, "MyReadFile", SystemErrorKind::kInterrupted,
     "The run was stopped (SIGTERM, SIGHUP or a closed console) while it waited for the device "
     "on {port}; the port was left as it was found.{stays}"},
    {Phase::kProgramming, "MyReadFile", kAnyKind,
     "The device on {port} did not answer in time: it may have lost power or its connection. "
     "Check the device and its cable, then run again.{stays}"},
    {Phase::kProgramming, "ReadFile", kAnyKind,
     "Reading from the port {port} failed ({error}): the adapter was unplugged or the line hung "
     "up. Check the cable and the adapter, then run again."},
    {Phase::kProgramming, "GetMessageAnswer", kAnyKind,
     "The device's answer on {port} was no valid reply (short, corrupt, split by a pause, or "
     "after a stray byte): check the wiring and for noise, lower a USB adapter's latency timer, "
     "and with KORVEL_FAST=1 run again without it.{stays}"},
    {Phase::kProgramming, "MyWriteFile", kAnyKind,
     "The port {port} stopped taking bytes: the adapter was unplugged, or the line is held. "
     "Check the cable and the adapter, then run again."},
    {Phase::kProgramming, "Chip erase failed", kAnyKind,
     "The bootloader refused the chip erase: run again; if it persists, the device may be "
     "locked or faulty.{stays}"},
    {Phase::kProgramming, kAnyStep, kAnyKind,
     "The bootloader refused a block of {image} ({step}): the image may be larger than the "
     "device's memory, or not meant for this device.{stays}"},
    {Phase::kReset, kAnyStep, kAnyKind,
     "Everything was programmed, but the reset message could not be sent to {port} ({step}: "
     "{error}): switch the device off and on to start it."},
    {Phase::kHwParamWord, kAnyStep, kAnyKind,
     "korvel refused the image argument {image}: a HWPARM word is the word, two hexadecimal "
     "digits and a number, e.g. HWPARM0112345.{stays}"},
}};

bool HasStep(const RunAccount& account, const char* step) {
  return std::any_of(account.reports.begin(), account.reports.end(),
                     [&](const ReportedFailure& report) { return report.step == step; });
}

// Steps that the image loading reports without a "ReadImage" after them.
bool IsImageStep(const std::string& step) {
  return step == "Reading in the data failed" || step == "Wrong image type";
}

Phase PhaseOf(const RunAccount& account) {
  if (account.resultLine == kLineHwParamInvalid) return Phase::kHwParamWord;
  if (HasStep(account, "OpenSerial")) return Phase::kPortSetup;
  if (account.resultLine == kLineActivationFailed) return Phase::kActivation;
  if (account.resultLine == kLineResetFailed) return Phase::kReset;
  if (HasStep(account, "ReadImage") ||
      (!account.reports.empty() && IsImageStep(account.reports.front().step))) {
    return Phase::kImage;
  }
  return Phase::kProgramming;
}

const ExplanationRow* FindRow(Phase phase, const ReportedFailure* inner) {
  const std::string step = inner != nullptr ? inner->step : std::string();
  const SystemErrorKind kind =
      inner != nullptr ? ClassifySystemError(inner->code) : SystemErrorKind::kOther;
  for (const ExplanationRow& row : kExplanations) {
    if (row.phase != phase) continue;
    if (std::strcmp(row.step, kAnyStep) != 0 && row.step != step) continue;
    if (row.kind != kAnyKind && row.kind != kind) continue;
    return &row;
  }
  return nullptr;
}

// The port as the user gave it, and the path tried where that differs.
std::string PortText(const std::string& portArgument) {
  const std::string path = PortDevicePath(portArgument.c_str());
  std::string text = Quoted(portArgument);
  if (path != portArgument) text += " (opened as " + path + ")";
  return text;
}

// |text| with each {name} replaced by its value.
std::string Fill(std::string_view text,
                 const std::array<std::pair<std::string_view, std::string>, 6>& values) {
  std::string filled;
  while (!text.empty()) {
    const size_t open = text.find('{');
    const size_t close = open == std::string_view::npos ? open : text.find('}', open);
    if (close == std::string_view::npos) break;
    filled += text.substr(0, open);
    const std::string_view name = text.substr(open + 1, close - open - 1);
    for (const auto& [key, value] : values) {
      if (key == name) filled += value;
    }
    text.remove_prefix(close + 1);
  }
  filled += text;
  return filled;
}

}  // namespace

bool ParseReportLine(std::string_view line, ReportedFailure* report) {
  // "<file>(<line>) / <step>: (<code>)": the file and step may hold
  // anything, so the fixed parts are found from the ends inwards.
  if (!line.ends_with(')')) return false;
  const size_t codeOpen = line.rfind(": (");
  const size_t separator = line.find(") / ");
  if (codeOpen == std::string_view::npos || separator == std::string_view::npos ||
      separator > codeOpen) {
    return false;
  }
  const size_t lineOpen = line.rfind('(', separator);
  if (lineOpen == std::string_view::npos || lineOpen + 1 == separator) return false;
  const std::string_view number = line.substr(lineOpen + 1, separator - lineOpen - 1);
  const std::string_view code = line.substr(codeOpen + 3, line.size() - codeOpen - 4);
  int lineNumber = 0;
  unsigned long value = 0;
  const auto lineRead = std::from_chars(number.data(), number.data() + number.size(), lineNumber);
  const auto codeRead = std::from_chars(code.data(), code.data() + code.size(), value);
  if (lineRead.ptr != number.data() + number.size() || code.empty() ||
      codeRead.ptr != code.data() + code.size()) {
    return false;
  }
  report->file = std::string(line.substr(0, lineOpen));
  report->step = std::string(line.substr(separator + 4, codeOpen - separator - 4));
  report->code = value;
  return true;
}

RunAccount ReadRunAccount(const std::vector<std::string>& outputLines) {
  constexpr std::array<const char*, 10> kResultLines = {
      kLineUsage,          kLineBootloaderActivated, kLineForcedActivation, kLineActivationFailed,
      kLineHwParamInvalid, kLineFirmwareFlashed,     kLineEepromFlashed,    kLineFirmwareFailed,
      kLineEepromFailed,   kLineResetFailed};
  RunAccount account;
  for (const std::string& line : outputLines) {
    ReportedFailure report;
    if (ParseReportLine(line, &report)) {
      account.reports.push_back(std::move(report));
    } else if (std::find(kResultLines.begin(), kResultLines.end(), line) != kResultLines.end()) {
      account.resultLine = line;
    }
  }
  return account;
}

RunAccount AccountOfThisRun() {
  RunAccount account;
  for (size_t i = 0; i < run.account.reportCount; ++i) {
    const ReportRecord& record = run.account.reports[i];
    account.reports.push_back({record.file, record.step, record.code});
  }
  if (run.account.resultLine != nullptr) account.resultLine = run.account.resultLine;
  return account;
}

bool RunPassed(const RunAccount& account) {
  return account.reports.empty() &&
         (account.resultLine == kLineFirmwareFlashed || account.resultLine == kLineEepromFlashed ||
          account.resultLine == kLineBootloaderActivated);
}

std::string ExplainFailure(const RunAccount& account, const std::string& portArgument,
                           const std::string& imageArgument) {
  if (RunPassed(account) || account.resultLine == kLineUsage) return std::string();
  const ReportedFailure* inner = account.reports.empty() ? nullptr : &account.reports.front();
  const ExplanationRow* row = FindRow(PhaseOf(account), inner);
  const std::string portPath = PortDevicePath(portArgument.c_str());
  const std::string group = FileGroupName(portPath);
  const std::string text =
      row != nullptr ? row->text : "korvel failed at the step {step}: {error}.";
  return Fill(text, {{{"port", PortText(portArgument)},
                      {"image", Quoted(imageArgument)},
                      {"error", inner != nullptr ? SystemErrorText(inner->code) : std::string()},
                      {"step", inner != nullptr ? Quoted(inner->step) : std::string("\"\"")},
                      {"group", group.empty() ? std::string("dialout") : group},
                      {"stays", kStaysInBootloader}}});
}

std::string ExplainRunOutput(const std::vector<std::string>& outputLines,
                             const std::string& portArgument, const std::string& imageArgument) {
  return ExplainFailure(ReadRunAccount(outputLines), portArgument, imageArgument);
}
