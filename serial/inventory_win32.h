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
// the device key could not be opened either), its friendly name, the
// service that drives it, and the device instance IDs of the device and of
// its parent (USB\VID_0403&PID_6001\A50285BI), where its USB ids and
// serial number are read from.
struct ComPortRow {
  RegistryText portName{};
  RegistryText friendlyName{};
  RegistryText driver{};
  RegistryText instanceId{};
  RegistryText parentInstanceId{};
};

// The text of |value|: its bytes up to the first NUL, never past |size|
// nor past the buffer.
std::string RegistryTextValue(const RegistryText& value);

// Sets the USB vendor and product ids of |entry| (four hexadecimal digits
// each, small letters, from "VID_xxxx" and "PID_xxxx"; "" when absent) and
// its serial number from |instanceId|. The serial number is the last part
// of a USB device's ID (USB\VID_..&PID_..\<serial>) when it holds no '&':
// an ID with one is made up by the system, for a device without a serial
// number or an interface of a composite device.
void ReadUsbInstanceId(const std::string& instanceId, InventoryEntry* entry);

// Adds the device of |row| to |inventory|: a device without a readable
// port name is passed over; one without a readable friendly name is added
// with none. Its USB details come from its own instance ID, and from its
// parent's where that is the same USB device (FTDIBUS ports, interfaces
// of composite devices) or its own ID carries no USB ids.
void AddComPortRow(const ComPortRow& row, std::vector<InventoryEntry>* inventory);
