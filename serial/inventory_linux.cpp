// The Linux inventory of serial ports, read from sysfs. Nothing of Windows
// here.
#include "serial/inventory_linux.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>
#include <string_view>

namespace {

// A USB serial port sits one or two levels below the USB device that holds
// the product and manufacturer strings (port, interface, device).
constexpr int kLevelsToSearch = 3;

// The first line of a sysfs attribute, or "" when there is none.
std::string ReadAttribute(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  if (file) std::getline(file, line);
  return line;
}

// The absolute path |path| names, with every symlink resolved; "" if none.
std::string ResolvePath(const std::string& path) {
  std::unique_ptr<char, decltype(&free)> resolved(realpath(path.c_str(), nullptr), &free);
  return resolved ? std::string(resolved.get()) : std::string();
}

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

void CollectFriendlyNames(const std::string& devicePath, InventoryEntry* entry) {
  if (BaseName(ResolvePath(devicePath + "/driver")) == "ftdi_sio") {
    entry->friendlyNames.emplace_back("USB Serial Port");
  }
  std::string level = devicePath;
  for (int depth = 0; depth < kLevelsToSearch && level.size() > 1; ++depth) {
    for (const char* attribute : {"interface", "product", "manufacturer"}) {
      std::string value = ReadAttribute(level + "/" + attribute);
      if (!value.empty()) entry->friendlyNames.push_back(std::move(value));
    }
    level = level.substr(0, level.rfind('/'));
  }
}

}  // namespace

int ReadTtyInventory(const std::string& sysRoot, std::vector<InventoryEntry>* inventory) {
  const std::string classPath = sysRoot + "/class/tty";
  std::unique_ptr<DIR, DirCloser> dir(opendir(classPath.c_str()));
  if (!dir) return 0;

  while (const dirent* item = readdir(dir.get())) {
    if (item->d_name[0] == '.') continue;
    // Virtual terminals have no device behind them; only hardware ports do.
    const std::string devicePath = ResolvePath(classPath + "/" + item->d_name + "/device");
    if (devicePath.empty()) continue;
    InventoryEntry entry;
    entry.portName = item->d_name;
    CollectFriendlyNames(devicePath, &entry);
    inventory->push_back(std::move(entry));
  }
  return 1;
}

std::string TtyNameForPort(const char* portName) {
  std::string name = portName;
  if (name.find('/') == std::string::npos) return name;
  const std::string resolved = ResolvePath(name);
  if (!resolved.empty()) name = resolved;
  constexpr std::string_view kDevPrefix = "/dev/";
  if (name.starts_with(kDevPrefix)) name.erase(0, kDevPrefix.size());
  return name;
}

int ReadPortInventory(std::vector<InventoryEntry>* inventory) {
  return ReadTtyInventory("/sys", inventory);
}

std::string InventoryNameForPort(const char* portName) {
  return TtyNameForPort(portName);
}
