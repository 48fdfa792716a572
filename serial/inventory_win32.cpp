// The Windows inventory of serial ports, read through the setup and
// registry functions. Nothing of POSIX here.
#include "serial/inventory_win32.h"

#include <windows.h>
// After windows.h, which they need.
#include <cfgmgr32.h>
#include <setupapi.h>

#include <cctype>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

// The device interface every serial port offers, whatever its driver.
constexpr GUID kComPortInterface = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

// Reads the "PortName" value of an opened device key; only a string counts.
void ReadPortName(HKEY key, RegistryText* value) {
  DWORD type = 0;
  DWORD size = sizeof(value->bytes);
  const LONG status = RegQueryValueExA(key, "PortName",
                                       nullptr,  // reserved
                                       &type, reinterpret_cast<BYTE*>(value->bytes),
                                       &size);  // in: buffer size; out: bytes stored
  value->read = status == ERROR_SUCCESS && type == REG_SZ;
  value->size = value->read ? size : 0;
}

// Reads a text property of the device: SPDRP_FRIENDLYNAME, the name the
// device manager shows; SPDRP_SERVICE, its driver's service.
void ReadDeviceProperty(HDEVINFO devices, SP_DEVINFO_DATA* device, DWORD property,
                        RegistryText* value) {
  DWORD type = 0;
  DWORD size = 0;
  const BOOL ok = SetupDiGetDeviceRegistryPropertyA(
      devices, device, property, &type, reinterpret_cast<BYTE*>(value->bytes), sizeof(value->bytes),
      &size);  // bytes the value needs
  value->read = ok && type == REG_SZ;
  // A value longer than the buffer fails the call; |size| then says how much
  // it would have needed, so it is kept within the buffer regardless.
  value->size = value->read ? size : 0;
}

// Reads the device instance IDs of the device and of its parent.
void ReadInstanceIds(HDEVINFO devices, SP_DEVINFO_DATA* device, ComPortRow* row) {
  DWORD size = 0;
  row->instanceId.read = SetupDiGetDeviceInstanceIdA(devices, device, row->instanceId.bytes,
                                                     sizeof(row->instanceId.bytes),
                                                     &size) != FALSE;  // characters with the NUL
  row->instanceId.size = row->instanceId.read ? size : 0;
  DEVINST parent = 0;
  if (CM_Get_Parent(&parent, device->DevInst, 0) != CR_SUCCESS) return;
  row->parentInstanceId.read =
      CM_Get_Device_IDA(parent, row->parentInstanceId.bytes, sizeof(row->parentInstanceId.bytes),
                        0) == CR_SUCCESS;  // no flags
  row->parentInstanceId.size = row->parentInstanceId.read ? sizeof(row->parentInstanceId.bytes) : 0;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

// The four hexadecimal digits after |key| ("VID_") in |id|, in small
// letters, or "" when |id| has none there.
std::string IdAfter(std::string_view id, std::string_view key) {
  for (size_t at = 0; at + key.size() + 4 <= id.size(); ++at) {
    if (!StartsWithNoCase(id.substr(at), key)) continue;
    std::string digits(id.substr(at + key.size(), 4));
    for (char& c : digits) {
      if (!std::isxdigit(static_cast<unsigned char>(c))) return "";
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return digits;
  }
  return "";
}

}  // namespace

std::string RegistryTextValue(const RegistryText& value) {
  // A registry string need not end in a NUL within the size it reports,
  // and the reported size may exceed the buffer.
  const size_t limit = value.size < sizeof(value.bytes) ? value.size : sizeof(value.bytes);
  return std::string(value.bytes, strnlen(value.bytes, limit));
}

void ReadUsbInstanceId(const std::string& instanceId, InventoryEntry* entry) {
  entry->usbVendorId = IdAfter(instanceId, "VID_");
  entry->usbProductId = IdAfter(instanceId, "PID_");
  entry->serialNumber.clear();
  // USB\<device ID>\<instance>: the instance is the serial number unless
  // the system made it up ('&' inside).
  const size_t first = instanceId.find('\\');
  const size_t last = instanceId.rfind('\\');
  if (!StartsWithNoCase(instanceId, "USB\\") || last == first) return;
  const std::string instance = instanceId.substr(last + 1);
  if (!instance.empty() && instance.find('&') == std::string::npos) entry->serialNumber = instance;
}

void AddComPortRow(const ComPortRow& row, std::vector<InventoryEntry>* inventory) {
  if (!row.portName.read) return;
  InventoryEntry entry;
  entry.portName = RegistryTextValue(row.portName);
  if (row.friendlyName.read) entry.friendlyNames.push_back(RegistryTextValue(row.friendlyName));
  // What korvel opens for this port name.
  entry.devicePath = "\\\\.\\" + entry.portName;
  if (row.driver.read) entry.driver = RegistryTextValue(row.driver);
  if (row.instanceId.read) ReadUsbInstanceId(RegistryTextValue(row.instanceId), &entry);

  // The parent tells what the port's own ID does not: the USB device of a
  // port whose bus driver gives no ids, or the serial number of the USB
  // device that an FTDIBUS port or a composite device's interface belongs
  // to (same ids). The serial of any other parent, a hub, is not the port's.
  if (row.parentInstanceId.read) {
    InventoryEntry parent;
    ReadUsbInstanceId(RegistryTextValue(row.parentInstanceId), &parent);
    if (entry.usbVendorId.empty() || entry.usbProductId.empty()) {
      entry.usbVendorId = parent.usbVendorId;
      entry.usbProductId = parent.usbProductId;
      entry.serialNumber = parent.serialNumber;
    } else if (entry.serialNumber.empty() && parent.usbVendorId == entry.usbVendorId &&
               parent.usbProductId == entry.usbProductId) {
      entry.serialNumber = parent.serialNumber;
    }
  }
  inventory->push_back(std::move(entry));
}

int ReadPortInventory(std::vector<InventoryEntry>* inventory) {
  // 1. The present devices that offer the serial-port interface.
  HDEVINFO devices = SetupDiGetClassDevsA(&kComPortInterface,
                                          nullptr,  // no enumerator: every bus
                                          nullptr,  // no window
                                          DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (devices == INVALID_HANDLE_VALUE) return 0;

  // 2. Every device in turn, until the enumeration runs out.
  for (DWORD index = 0;; ++index) {
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);  // the call checks it against its own
    if (!SetupDiEnumDeviceInfo(devices, index, &device)) break;

    // 2.1 The device's hardware key; a device without one is passed over.
    HKEY key = SetupDiOpenDevRegKey(devices, &device,
                                    DICS_FLAG_GLOBAL,  // the key of every hardware profile
                                    0,                 // profile: unused with DICS_FLAG_GLOBAL
                                    DIREG_DEV,         // hardware key, not the driver's
                                    KEY_QUERY_VALUE);  // reading is all we do
    if (key == INVALID_HANDLE_VALUE) continue;

    // 2.2 Its port name, then close the key; then what the device manager
    // knows of it.
    ComPortRow row;
    ReadPortName(key, &row.portName);
    RegCloseKey(key);
    if (row.portName.read) {
      ReadDeviceProperty(devices, &device, SPDRP_FRIENDLYNAME, &row.friendlyName);
      ReadDeviceProperty(devices, &device, SPDRP_SERVICE, &row.driver);
      ReadInstanceIds(devices, &device, &row);
    }
    AddComPortRow(row, inventory);
  }

  // 3. The list is freed after the whole walk.
  SetupDiDestroyDeviceInfoList(devices);
  return 1;
}

std::string InventoryNameForPort(const char* portName) {
  // A port is listed by the name it opens with (COM7); the match skips a
  // "\\.\" prefix.
  return portName;
}
