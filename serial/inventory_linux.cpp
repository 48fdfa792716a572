// The Linux inventory of serial ports, read from sysfs, with the stable
// links udev makes under /dev/serial/by-id. Nothing of Windows here.
#include "serial/inventory_linux.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
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

// The names in the folder |path| but "." and "..", sorted, so that every
// listing comes out in the same order; none when it can't be read.
int ListFolder(const std::string& path, std::vector<std::string>* names) {
  std::unique_ptr<DIR, DirCloser> dir(opendir(path.c_str()));
  if (!dir) return 0;
  while (const dirent* item = readdir(dir.get())) {
    const std::string_view name = item->d_name;
    if (name != "." && name != "..") names->emplace_back(name);
  }
  std::sort(names->begin(), names->end());
  return 1;
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// What the device behind a port tells about itself: its driver, its USB
// interface, product and manufacturer strings as friendly names (plus
// "USB Serial Port" for the ftdi_sio driver, the name its Windows driver
// gives such ports), and the USB device's ids and serial number.
void CollectDeviceStrings(const std::string& devicePath, InventoryEntry* entry) {
  entry->driver = BaseName(ResolvePath(devicePath + "/driver"));
  if (entry->driver == "ftdi_sio") entry->friendlyNames.emplace_back("USB Serial Port");
  std::string level = devicePath;
  for (int depth = 0; depth < kLevelsToSearch && level.size() > 1; ++depth) {
    for (const char* attribute : {"interface", "product", "manufacturer"}) {
      std::string value = ReadAttribute(level + "/" + attribute);
      if (!value.empty()) entry->friendlyNames.push_back(std::move(value));
    }
    // The USB device is the level that carries the vendor id.
    if (entry->usbVendorId.empty()) {
      entry->usbVendorId = ReadAttribute(level + "/idVendor");
      if (!entry->usbVendorId.empty()) {
        entry->usbProductId = ReadAttribute(level + "/idProduct");
        entry->serialNumber = ReadAttribute(level + "/serial");
      }
    }
    level = level.substr(0, level.rfind('/'));
  }
}

// The links of |devRoot|/serial/by-id, by the resolved path of the device
// each one names; the first link in name order where two name one device.
std::map<std::string, std::string> ReadByIdLinks(const std::string& devRoot) {
  std::map<std::string, std::string> links;
  const std::string folder = devRoot + "/serial/by-id";
  std::vector<std::string> names;
  if (!ListFolder(folder, &names)) return links;  // no USB serial device plugged in
  for (const std::string& name : names) {
    const std::string target = ResolvePath(folder + "/" + name);
    if (!target.empty()) links.emplace(target, folder + "/" + name);
  }
  return links;
}

}  // namespace

int ReadTtyInventory(const std::string& sysRoot, const std::string& devRoot,
                     std::vector<InventoryEntry>* inventory) {
  const std::string classPath = sysRoot + "/class/tty";
  std::vector<std::string> ttys;
  if (!ListFolder(classPath, &ttys)) return 0;
  const std::map<std::string, std::string> byIdLinks = ReadByIdLinks(devRoot);

  for (const std::string& tty : ttys) {
    // Virtual terminals have no device behind them; only hardware ports do.
    const std::string devicePath = ResolvePath(classPath + "/" + tty + "/device");
    if (devicePath.empty()) continue;
    // A serial-core port of type 0 has no UART behind it: the kernel keeps
    // ttyS0 to ttyS31 whether or not the machine has them.
    if (ReadAttribute(classPath + "/" + tty + "/type") == "0") continue;
    InventoryEntry entry;
    entry.portName = tty;
    entry.devicePath = devRoot + "/" + tty;
    CollectDeviceStrings(devicePath, &entry);
    const auto link = byIdLinks.find(ResolvePath(entry.devicePath));
    if (link != byIdLinks.end()) entry.byIdLink = link->second;
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
  return ReadTtyInventory("/sys", "/dev", inventory);
}

std::string InventoryNameForPort(const char* portName) {
  return TtyNameForPort(portName);
}
