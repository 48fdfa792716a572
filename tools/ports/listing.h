// What korvel-ports lists: every serial port of the inventory korvel looks
// adapters up in, with where it is, what it is, and whether korvel
// recognises it as an adapter and so activates it at 3,000,000 baud.
#pragma once

#include <string>
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
