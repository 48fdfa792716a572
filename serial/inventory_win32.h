// The Windows inventory of serial ports, as rows read from the registry:
// the pieces beneath ReadPortInventory that need no device to test. Windows
// only; nothing of POSIX here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "serial/adapter.h"

// Registry values are read into buffers of this size.
inline constexpr uint32_t kRegistryTextSize = 256;

// One text value as the registry handed it over: its bytes, their count
// (as the registry reported it, not trusted to end in a NUL), and whether
// it was read at all as a string (REG_SZ).
struct RegistryText {
  bool read = false;
  char bytes[kRegistryTextSize] = {};
  uint32_t size = 0;
};

// One present serial-port device: its "PortName" value (unreadable when
// the device key could not be opened either) and its friendly name.
struct ComPortRow {
  RegistryText portName;
  RegistryText friendlyName;
};

// The text of |value|: its bytes up to the first NUL, never past |size|
// nor past the buffer.
std::string RegistryTextValue(const RegistryText& value);

// Adds the device of |row| to |inventory|: a device without a readable
// port name is passed over; one without a readable friendly name is added
// with none.
void AddComPortRow(const ComPortRow& row, std::vector<InventoryEntry>* inventory);
