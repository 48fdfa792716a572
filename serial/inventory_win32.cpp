// The Windows inventory of serial ports, read through the setup and
// registry functions. Nothing of POSIX here.
#include "serial/inventory_win32.h"

#include <windows.h>
// After windows.h, which it needs.
#include <setupapi.h>

#include <cstring>
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

// Reads the friendly name the device manager shows for the device.
void ReadFriendlyName(HDEVINFO devices, SP_DEVINFO_DATA* device, RegistryText* value) {
  DWORD type = 0;
  DWORD size = 0;
  const BOOL ok =
      SetupDiGetDeviceRegistryPropertyA(devices, device, SPDRP_FRIENDLYNAME, &type,
                                        reinterpret_cast<BYTE*>(value->bytes), sizeof(value->bytes),
                                        &size);  // bytes the name needs
  value->read = ok && type == REG_SZ;
  // A name longer than the buffer fails the call; |size| then says how much
  // it would have needed, so it is kept within the buffer regardless.
  value->size = value->read ? size : 0;
}

}  // namespace

std::string RegistryTextValue(const RegistryText& value) {
  // A registry string need not end in a NUL within the size it reports,
  // and the reported size may exceed the buffer.
  const size_t limit = value.size < sizeof(value.bytes) ? value.size : sizeof(value.bytes);
  return std::string(value.bytes, strnlen(value.bytes, limit));
}

void AddComPortRow(const ComPortRow& row, std::vector<InventoryEntry>* inventory) {
  if (!row.portName.read) return;
  InventoryEntry entry;
  entry.portName = RegistryTextValue(row.portName);
  if (row.friendlyName.read) entry.friendlyNames.push_back(RegistryTextValue(row.friendlyName));
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

    // 2.2 Its port name and friendly name, then close the key.
    ComPortRow row;
    ReadPortName(key, &row.portName);
    if (row.portName.read) ReadFriendlyName(devices, &device, &row.friendlyName);
    RegCloseKey(key);
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
