// Recognising known USB serial adapters by the names their devices carry.
#pragma once

#include <span>
#include <string>
#include <vector>

// One present serial-port device of the system's inventory.
struct InventoryEntry {
  std::string portName;                    // COM7, ttyUSB0
  std::vector<std::string> friendlyNames;  // readable names the device carries
};

// 1 when a device in |inventory| carries |portName| and one of its friendly
// names contains an adapter mark, else 0. A port name that begins with a
// backslash is compared without its "\\.\" prefix. Every device is looked
// at; one match with a mark is enough.
int MatchKnownAdapter(const char* portName, std::span<const InventoryEntry> inventory);

// Asks the system's device inventory whether |portName| belongs to a known
// adapter. Reports "SetupDiGetClassDevs" and answers 0 when the inventory
// can't be read; devices whose entries can't be read are passed over.
int IsKnownAdapterPort(const char* portName);
