// Plain words about an image argument, from the selection korvel makes.
#include "image/image_notes.h"

#include <cstdio>

#include "common/number_text.h"
#include "common/printable_text.h"
#include "image/file.h"

std::string Quoted(std::string_view text) {
  // Appended piece by piece: GCC 12 at -O3 warns (wrongly, -Wrestrict)
  // about "literal" + std::string.
  std::string quoted = "\"";
  quoted += PrintableText(text);
  quoted += '"';
  return quoted;
}

std::string HwParamsText(const HwParamReading& reading) {
  const auto& bytes = reading.bytes;
  char head[64];
  std::snprintf(head, sizeof head, "%02X %02X %02X %02X %02X (parameter 0x%02X, number ", bytes[0],
                bytes[1], bytes[2], bytes[3], bytes[4], bytes[0]);
  std::string text = head;
  text += GroupedDigits(reading.number.value);
  text += ')';
  return text;
}

namespace {

// The parameter: both characters read as hexadecimal digits. Reading stops
// before the 7th character (at the 'x' of "0x") or at the 8th.
void WarnAboutParameter(const char* argument, const HwParamReading& reading,
                        std::vector<std::string>* warnings) {
  if (reading.parameter.end == reading.parameterText.size()) return;
  const char stop = reading.parameter.end < 3 ? argument[6] : argument[7];
  char byte[8];
  std::snprintf(byte, sizeof byte, "0x%02X", reading.bytes[0]);
  warnings->push_back("the parameter " + Quoted(std::string_view(argument + 6, 2)) +
                      " is not two hexadecimal digits: reading stops at " +
                      Quoted(std::string_view(&stop, 1)) + ", so korvel programs " + byte);
}

// The number: decimal digits only, within 32 bits.
void WarnAboutNumber(const char* argument, const HwParamReading& reading,
                     std::vector<std::string>* warnings) {
  const char* number = argument + 8;
  const NumberReading& read = reading.number;
  const std::string value = GroupedDigits(read.value);
  if (read.digits == 0) {
    warnings->push_back("the number " + Quoted(number) + " has no digits: korvel programs 0");
    return;
  }
  if (read.blanks > 0 || number[read.end] != '\0') {
    warnings->push_back("the number " + Quoted(number) +
                        " is not all decimal digits: korvel programs " + value);
  }
  if (read.saturated) {
    warnings->push_back("the number " + Quoted(number) +
                        " is beyond 32 bits: korvel reads its digits as 4,294,967,295");
  }
  if (read.sign) {
    warnings->push_back("the number " + Quoted(number) + " has a sign: korvel programs " + value);
  }
}

// Whether a file at |path| can be opened for reading.
bool FileExists(const char* path) {
  const FileHandle file = FileOpen(path);
  if (file == kNoFile) return false;
  FileClose(file);
  return true;
}

}  // namespace

std::vector<std::string> HwParamWarnings(const char* argument, const HwParamReading& reading) {
  std::vector<std::string> warnings;
  WarnAboutParameter(argument, reading, &warnings);
  WarnAboutNumber(argument, reading, &warnings);
  return warnings;
}

std::string CommandWordFileWarning(const char* imageArgument, const ImageSelection& selection) {
  const char* reading = nullptr;
  if (selection.stop) {
    reading = "the command STOP: it only wakes the bootloader and programs nothing";
  } else if (selection.builtIn) {
    reading = "hardware parameters (HWPARM): it programs the EEPROM from its built-in image";
  } else if (selection.hwParamTooShort) {
    reading = "a HWPARM word too short to use: it refuses it (\"HWPARM string not valid\")";
  }
  if (reading == nullptr || !FileExists(imageArgument)) return std::string();
  return Quoted(imageArgument) + " is read by korvel as " + reading +
         ", although a file of that name exists. To program the file, write it as a path: " +
         Quoted(std::string("./") + imageArgument);
}
