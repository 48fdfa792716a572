// Recognising known USB serial adapters by the names their devices carry,
// written once over the system's inventory of serial ports.
#pragma once

#include <span>
#include <string>
#include <vector>

// One present serial-port device of the system's inventory: a plain record
// that the platform's inventory fills in. Recognition looks at the port name
// and the friendly names only; the rest says where the port is and what it
// is, for a listing of the ports. A field the system does not tell is "",
// and a list of entries may leave them out.
struct InventoryEntry {
  std::string portName;                    // COM7, ttyUSB0
  std::vector<std::string> friendlyNames;  // readable names the device carries
  std::string devicePath{};                // what opens the port: /dev/ttyUSB0, \\.\COM7
  std::string byIdLink{};                  // Linux: its /dev/serial/by-id/ link
  std::string driver{};                    // ftdi_sio, cdc_acm; FTDIBUS, usbser
  std::string usbVendorId{};               // four hexadecimal digits: 0403
  std::string usbProductId{};              // four hexadecimal digits: 6001
  std::string serialNumber{};              // the USB device's serial number
};

// 1 when a device in |inventory| carries |portName| and one of its friendly
// names contains an adapter mark, else 0. A port name that begins with a
// backslash is compared without its "\\.\" prefix. Every device is looked
// at; one match with a mark is enough.
int MatchKnownAdapter(const char* portName, std::span<const InventoryEntry> inventory);

// Asks the system's device inventory whether |portName| belongs to a known
// adapter. Reports "SetupDiGetClassDevs" and answers 0 when the inventory
// can't be read; devices whose entries can't be read are passed over. An
// answer leaves the last system error as it was. A caller that passes
// |inventory| has the port looked up there instead (tests: a port that a
// known adapter carries, which the machine running them may not have).
int IsKnownAdapterPort(const char* portName,
                       const std::vector<InventoryEntry>* inventory = nullptr);

// --- Platform layer -------------------------------------------------------
// The build picks one file: inventory_linux.cpp (sysfs) or
// inventory_win32.cpp (the setup and registry functions).

// Lists the system's present serial ports into |inventory|. Returns 1, or
// 0 with the last system error set when the list can't be had at all.
int ReadPortInventory(std::vector<InventoryEntry>* inventory);

// The name under which the inventory lists the port that the port
// argument |portName| opens.
std::string InventoryNameForPort(const char* portName);
