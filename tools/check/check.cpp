// What a korvel run would do with an image argument and the activation
// arguments, decided by korvel's own functions: SelectImage, ReadHwParams,
// LoadImageFile, FindFirmwareVersion and ChooseActivationFromArguments.
// Nothing here opens a port.
#include "tools/check/check.h"

#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

#include "app/arguments.h"
#include "bootloader/run_time.h"
#include "common/image_buffer.h"
#include "common/number_text.h"
#include "common/printable_text.h"
#include "common/system.h"
#include "image/firmware.h"
#include "image/hwparam.h"
#include "image/image_file.h"
#include "image/image_notes.h"
#include "image/image_source.h"
#include "serial/network_name.h"
#include "tools/check/device.h"

namespace {

// Seconds with one decimal: "7.1".
std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", seconds);
  return text;
}

// What korvel does when it can't program: it has woken the bootloader by
// then, so the device stays in it.
std::string StopsAfterWaking(const char* resultLine) {
  return std::string("korvel would wake the bootloader, then stop (\"") + resultLine +
         "\") and leave the device in it";
}

// True when number text is nothing but decimal digits, all of them read
// (within 32 bits or not).
bool IsPlainNumber(const char* text, const NumberReading& reading) {
  return reading.blanks == 0 && !reading.sign && reading.digits > 0 && text[reading.end] == '\0';
}

// The size line and the estimate for |length| bytes that korvel would
// program: the protocol's least time, with the activation string at
// 115,200 baud and no write time in the device.
void DescribeProgramming(uint32_t length, CheckReport* report) {
  const RunTimeEstimate standard =
      EstimateRunTime(length, kDefaultActivationBaud, 0, ReplyTiming::kStandard);
  const RunTimeEstimate fast =
      EstimateRunTime(length, kDefaultActivationBaud, 0, ReplyTiming::kFast);
  const uint32_t blocks = standard.blocks;
  report->lines.push_back("Size: " + GroupedDigits(length) + " bytes in " + GroupedDigits(blocks) +
                          (blocks == 1 ? " block" : " blocks"));
  report->lines.push_back(
      "Erase: every run erases the chip before its first block; what that clears (the flash, "
      "the EEPROM or both) is up to the device's bootloader");
  report->lines.push_back("Estimated time at 115,200 baud: " + Seconds(standard.TotalSeconds()) +
                          " s with standard replies, " + Seconds(fast.TotalSeconds()) +
                          " s with fast replies (KORVEL_FAST=1), plus the device's write time of " +
                          (blocks == 1 ? "the block" : "each block"));
}

// What korvel finds when it loads the file at |path|; |firmware|: for the
// flash, where the image must carry the marker.
void CheckImageFile(const char* path, bool firmware, CheckReport* report) {
  const char* resultLine =
      firmware ? "Flashing the firmware image failed." : "Flashing the eeprom image failed.";
  // A port given where the image belongs is not opened, not even to read;
  // nor is a network port connected to.
  const bool networkPort = IsNetworkPortName(path);
  if (networkPort || NamesADevice(path)) {
    report->warnings.push_back("the file " + Quoted(path) + " is " +
                               (networkPort ? "a network port" : "a device") +
                               ", not an image file (korvel-check takes the " +
                               "arguments after the port), and korvel-check does not open it");
    return;
  }
  ImageBuffer image;
  const char* failedStep = nullptr;
  if (!LoadImageFile(path, &image, &failedStep)) {
    const unsigned long code = LastSystemError();
    std::string problem;
    if (std::strcmp(failedStep, "File to big") == 0) {
      problem = "has more than " + GroupedDigits(kMaxImageSize) + " bytes";
    } else if (std::strcmp(failedStep, "CreateFile") == 0) {
      problem = "can't be opened (system error " + std::to_string(code) + ")";
    } else if (std::strcmp(failedStep, "GetFileInformationByHandle") == 0) {
      problem = "has no size to read (system error " + std::to_string(code) + ")";
    } else {
      problem = "can't be read whole (system error " + std::to_string(code) + ")";
    }
    report->warnings.push_back("the file " + Quoted(path) + " " + problem + ": " +
                               StopsAfterWaking(resultLine));
    return;
  }
  if (image.length == 0) {
    report->warnings.push_back("the file " + Quoted(path) +
                               " is empty: " + StopsAfterWaking(resultLine));
    return;
  }
  if (firmware) {
    std::string version;
    if (!FindFirmwareVersion(image, &version)) {
      report->lines.push_back("Size: " + GroupedDigits(image.length) + " bytes");
      report->warnings.push_back(
          "the file " + Quoted(path) +
          " has no firmware marker \"!Tavlo \": " + StopsAfterWaking(resultLine));
      return;
    }
    report->lines.push_back("Firmware version: " + version);
  }
  DescribeProgramming(image.length, report);
}

// The part of a path after its last folder separator: '/', or '\' as
// Windows has it too (a name with a '\' in it on POSIX is rare enough to
// be warned about as well).
std::string_view FileName(std::string_view path) {
  const size_t separator = path.find_last_of("/\\");
  return separator == std::string_view::npos ? path : path.substr(separator + 1);
}

}  // namespace

void CheckImageArgument(const char* imageArgument, CheckReport* report) {
  ImageSelection selection;
  SelectImage(imageArgument, &selection);
  const std::string commandWord = CommandWordFileWarning(imageArgument, selection);
  if (!commandWord.empty()) report->warnings.push_back(commandWord);

  if (selection.stop) {
    report->lines.push_back(
        "Memory: none: korvel wakes the bootloader and leaves the device in it (STOP)");
    return;
  }
  if (selection.hwParamTooShort) {
    report->lines.push_back("Memory: none: korvel refuses the argument");
    report->warnings.push_back(Quoted(imageArgument) + " has fewer than " +
                               std::to_string(kMinHwParamLength) +
                               " characters: " + StopsAfterWaking("HWPARM string not valid"));
    return;
  }
  if (selection.builtIn) {
    report->lines.push_back("Memory: EEPROM");
    report->lines.push_back("Source: the built-in hardware-parameter image");
    report->lines.push_back("Hardware parameters: " + HwParamsText(selection.hwParams));
    for (std::string& warning : HwParamWarnings(imageArgument, selection.hwParams)) {
      report->warnings.push_back(std::move(warning));
    }
    DescribeProgramming(static_cast<uint32_t>(run.hwParamImage.size()), report);
    return;
  }

  // A file: EEPROM when "eeprom.bin" is in the path, else firmware.
  if (selection.hwParamWord) {
    report->lines.push_back(
        "Hardware parameters: none (parameter FF): the whole argument is a file name");
  }
  report->lines.push_back(selection.firmware ? "Memory: flash"
                                             : "Memory: EEPROM (\"eeprom.bin\" in the path)");
  report->lines.push_back("Source: the file " + PrintableText(imageArgument));
  if (!selection.firmware && FileName(imageArgument).find("eeprom.bin") == std::string::npos) {
    report->warnings.push_back(
        "\"eeprom.bin\" is in a folder name, not in the file name: korvel programs the file " +
        Quoted(FileName(imageArgument)) + " into the EEPROM");
  }
  CheckImageFile(imageArgument, selection.firmware, report);
}

void CheckActivation(const char* third, const char* fourth, CheckReport* report) {
  const ActivationChoice choice = ChooseActivationFromArguments(third, fourth);
  std::string line = "Activation: ";
  if (choice.byPort) {
    line += GroupedDigits(ActivationBaudForPort(true)) +
            " baud if the port is a recognised adapter, " + "else " +
            GroupedDigits(ActivationBaudForPort(false)) + " baud";
  } else {
    line += GroupedDigits(choice.baud) + " baud";
  }
  if (choice.forced) line += ", forced: programming goes on when the bootloader does not answer";
  report->lines.push_back(line);

  if (!choice.baudGiven) return;
  std::string warning;
  if (!IsPlainNumber(third, choice.baudReading) || choice.baudReading.saturated) {
    warning = "the third argument " + Quoted(third) +
              " is neither a decimal number within 32 bits nor FORCE: korvel takes it as " +
              GroupedDigits(choice.baud) + " baud";
  }
  if (choice.baud == 0) {
    warning += (warning.empty() ? "an activation baud of 0" : "") +
               std::string(", which no port takes: korvel would stop at opening the port");
  }
  if (!warning.empty()) report->warnings.push_back(warning);
}

int PrintCheckReport(const CheckReport& report) {
  for (const std::string& line : report.lines) std::printf("%s\n", line.c_str());
  for (const std::string& warning : report.warnings) std::printf("warning: %s\n", warning.c_str());
  return report.warnings.empty() ? 0 : 1;
}
