// What korvel-ports lists: every serial port of the inventory korvel looks
// adapters up in, with where it is, what it is, and whether korvel
// recognises it as an adapter and so activates it at 3,000,000 baud.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "serial/adapter.h"

// The listing for a reader: one block per port, its name and korvel's
// verdict first, then what the inventory tells of it; "No serial ports."
// for none.
std::string PortsText(const std::vector<InventoryEntry>& inventory);

// The listing for scripts, as a JSON object: {"ports": [...]}, each port
// with "port", "path", "by_id", "driver", "usb" ({"vendor_id",
// "product_id", "serial_number"}), "friendly_names", "recognised" and
// "activation_baud"; what the system does not tell is null. Bytes that are
// not UTF-8 come out as U+FFFD.
std::string PortsJson(const std::vector<InventoryEntry>& inventory);

// The USB ids of |entry| as "vendor:product" ("0403:6001"); "" when the
// inventory does not tell them.
std::string UsbIdsText(const InventoryEntry& entry);

// The entry of the port that the port argument |port| opens: the one that
// lists it as its path or by-id link, or the one korvel finds it as among
// the adapters (InventoryNameForPort, a "\\.\" prefix left out); where two
// entries carry it, the first with a serial number. Null when the inventory
// does not list it.
const InventoryEntry* EntryForPort(const std::string& port,
                                   const std::vector<InventoryEntry>& inventory);

// What opens each port whose adapter carries the USB serial number
// |serialNumber| (compared without regard to case: Windows lists it in
// capitals), each port once, in the inventory's order. A multi-port
// adapter gives several.
std::vector<std::string> PortsWithSerialNumber(std::string_view serialNumber,
                                               const std::vector<InventoryEntry>& inventory);
