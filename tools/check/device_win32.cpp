// Devices on Windows: told by name alone. Asking the system about a path
// (its attributes, its type) may open it, and opening a COM port is what
// korvel-check must never do. Nothing of POSIX here.
#include <cctype>
#include <string_view>

#include "tools/check/device.h"

namespace {

bool EqualsNoCase(std::string_view text, std::string_view upper) {
  if (text.size() != upper.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(text[i])) != upper[i]) return false;
  }
  return true;
}

}  // namespace

bool NamesADevice(const char* path) {
  const std::string_view text = path;
  // 1. The device namespace: \\.\COM12, //./COM12.
  if (text.starts_with("\\\\.\\") || text.starts_with("//./")) return true;

  // 2. A reserved device name as the last part of the path, whatever
  // extension or colon follows it: COM7, nul.img, LPT1:.
  const size_t separator = text.find_last_of("\\/");
  std::string_view name = separator == std::string_view::npos ? text : text.substr(separator + 1);
  name = name.substr(0, name.find_first_of(".:"));
  for (const char* reserved : {"CON", "PRN", "AUX", "NUL"}) {
    if (EqualsNoCase(name, reserved)) return true;
  }
  // COM1 to COM9 and LPT1 to LPT9; higher numbers are reserved only in the
  // device namespace, so COM12 alone is a file of that name.
  if (name.size() != 4 || name[3] < '1' || name[3] > '9') return false;
  return EqualsNoCase(name.substr(0, 3), "COM") || EqualsNoCase(name.substr(0, 3), "LPT");
}
