// Recognising known adapters: the lookup and the name match, the same on
// every platform.
#include "serial/adapter.h"

#include <cstring>

#include "common/report.h"
#include "common/system.h"

namespace {

// Friendly-name marks of the adapters that take the fast activation baud.
constexpr const char* kAdapterMarks[] = {"USB Serial Port", "Orvane", "Tavlo CAN Channel"};

bool CarriesAdapterMark(const std::string& friendlyName) {
  for (const char* mark : kAdapterMarks) {
    if (friendlyName.find(mark) != std::string::npos) return true;
  }
  return false;
}

}  // namespace

int MatchKnownAdapter(const char* portName, std::span<const InventoryEntry> inventory) {
  // Skip a device prefix such as "\\.\": four characters, but never past
  // the end of a shorter name.
  const char* name = portName;
  if (name[0] == '\\') name += strnlen(name, 4);

  int known = 0;
  for (const InventoryEntry& device : inventory) {
    if (device.portName != name) continue;
    for (const std::string& friendlyName : device.friendlyNames) {
      if (CarriesAdapterMark(friendlyName)) known = 1;
    }
  }
  return known;
}

int IsKnownAdapterPort(const char* portName, const std::vector<InventoryEntry>* inventory) {
  // An answer must leave no trace in a later report's error code.
  SystemErrorGuard keepError;
  std::vector<InventoryEntry> system;
  if (inventory == nullptr) {
    if (!ReadPortInventory(&system)) {
      ReportFailure("SetupDiGetClassDevs");
      keepError.KeepCurrentError();  // the reported failure's code stays, as after any report
      return 0;
    }
    inventory = &system;
  }
  return MatchKnownAdapter(InventoryNameForPort(portName).c_str(), *inventory);
}
