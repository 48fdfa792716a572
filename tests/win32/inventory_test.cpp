// The Windows port inventory: registry rows turned into inventory entries
// and listed as korvel-ports lists them, and the real inventory walk. The
// matching rules have their own table, shared with the native tests
// (tests/unit/adapter_test.cpp).
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "serial/adapter.h"
#include "serial/inventory_win32.h"
#include "tools/ports/listing.h"

namespace {

RegistryText Text(const char* text) {
  RegistryText value;
  value.read = true;
  std::memcpy(value.bytes, text, std::strlen(text) + 1);
  value.size = static_cast<uint32_t>(std::strlen(text) + 1);
  return value;
}

RegistryText Unreadable() {
  return RegistryText{};
}

std::vector<InventoryEntry> InventoryOf(const std::vector<ComPortRow>& rows) {
  std::vector<InventoryEntry> inventory;
  for (const ComPortRow& row : rows) AddComPortRow(row, &inventory);
  return inventory;
}

// What a machine might list: an on-board port, an adapter, a second device
// on the same port name (a stale entry), devices whose registry entries
// can't be read, an interface of a composite USB device, and a USB device
// without a serial number behind a hub that has one.
std::vector<ComPortRow> SampleRows() {
  return {
      {Text("COM1"), Text("Communications Port (COM1)"), Text("Serial"), Text("ACPI\\PNP0501\\1"),
       Text("ACPI\\PNP0A08\\0")},
      {Text("COM7"), Text("Communications Port (COM7)")},
      {Text("COM7"), Text("USB Serial Port (COM7)"), Text("FTDIBUS"),
       Text("FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000"),
       Text("USB\\VID_0403&PID_6001\\A50285BI")},
      {Unreadable(), Text("Orvane Adapter (COM9)")},  // no readable port name
      {Text("COM9"), Unreadable()},                   // no readable friendly name
      {Text("COM12"), Text("Tavlo CAN Channel 1 (COM12)"), Text("usbser"),
       Text("USB\\VID_1D50&PID_6018&MI_00\\6&3A1B2C&0&0000"),
       Text("USB\\VID_1D50&PID_6018\\8D7A51A2")},
      {Text("COM14"), Text("USB Serial Device (COM14)"), Text("usbser"),
       Text("USB\\Vid_2341&Pid_0043\\5&1F2E3D&0&2"), Text("USB\\VID_2109&PID_2813\\000000000")},
  };
}

TEST(ComPortRows, UnreadableEntriesAreSkippedAndTheRestKeepTheirNames) {
  const std::vector<InventoryEntry> inventory = InventoryOf(SampleRows());
  ASSERT_EQ(inventory.size(), 6u);
  EXPECT_EQ(inventory[0].portName, "COM1");
  EXPECT_EQ(inventory[2].friendlyNames, std::vector<std::string>{"USB Serial Port (COM7)"});
  // The device without a readable port name is gone; the one without a
  // readable friendly name stays, with no name to match.
  EXPECT_EQ(inventory[3].portName, "COM9");
  EXPECT_TRUE(inventory[3].friendlyNames.empty());
  EXPECT_EQ(inventory[4].portName, "COM12");
  // So the mark of the device without a port name helps no port, and the
  // rows match as the shared rules say.
  EXPECT_EQ(MatchKnownAdapter("COM9", inventory), 0);
  EXPECT_EQ(MatchKnownAdapter("COM7", inventory), 1);
  EXPECT_EQ(MatchKnownAdapter("COM12", inventory), 1);
  EXPECT_EQ(MatchKnownAdapter("COM14", inventory), 0);
}

TEST(ComPortRows, UsbIdsAndSerialNumberFromTheDeviceOrItsUsbParent) {
  const std::vector<InventoryEntry> inventory = InventoryOf(SampleRows());
  ASSERT_EQ(inventory.size(), 6u);
  struct Expected {
    const char* path;
    const char* driver;
    const char* vendor;
    const char* product;
    const char* serial;
  };
  const Expected expected[] = {
      {"\\\\.\\COM1", "Serial", "", "", ""},  // not USB
      {"\\\\.\\COM7", "", "", "", ""},        // nothing readable
      // An FTDIBUS port: ids in its own ID, serial number in its USB parent's.
      {"\\\\.\\COM7", "FTDIBUS", "0403", "6001", "A50285BI"},
      {"\\\\.\\COM9", "", "", "", ""},
      // A composite device's interface: the serial number is its device's.
      {"\\\\.\\COM12", "usbser", "1d50", "6018", "8D7A51A2"},
      // No serial number of its own; its parent, a hub, is another device.
      {"\\\\.\\COM14", "usbser", "2341", "0043", ""},
  };
  for (size_t i = 0; i < inventory.size(); ++i) {
    EXPECT_EQ(inventory[i].devicePath, expected[i].path);
    EXPECT_EQ(inventory[i].driver, expected[i].driver) << i;
    EXPECT_EQ(inventory[i].usbVendorId, expected[i].vendor) << i;
    EXPECT_EQ(inventory[i].usbProductId, expected[i].product) << i;
    EXPECT_EQ(inventory[i].serialNumber, expected[i].serial) << i;
    EXPECT_TRUE(inventory[i].byIdLink.empty());
  }
}

TEST(ComPortRows, ListedForScriptsWithKorvelsVerdict) {
  const nlohmann::json listing =
      nlohmann::json::parse(PortsJson(InventoryOf(SampleRows())), nullptr, false);
  ASSERT_FALSE(listing.is_discarded());
  const nlohmann::json& ports = listing["ports"];
  ASSERT_EQ(ports.size(), 6u);
  // Both devices named COM7 stand for the one port korvel opens, which a
  // mark on either makes a recognised adapter.
  EXPECT_EQ(ports[1]["recognised"], true);
  EXPECT_EQ(ports[2]["recognised"], true);
  EXPECT_EQ(ports[2]["path"], "\\\\.\\COM7");
  EXPECT_EQ(ports[2]["activation_baud"], 3000000);
  EXPECT_EQ(ports[2]["usb"]["serial_number"], "A50285BI");
  EXPECT_EQ(ports[2]["by_id"], nullptr);
  EXPECT_EQ(ports[3]["friendly_names"], nlohmann::json::array());
  EXPECT_EQ(ports[5]["recognised"], false);
  EXPECT_EQ(ports[5]["activation_baud"], 115200);
  EXPECT_EQ(ports[0]["usb"], nullptr);
}

TEST(ComPortRows, APortAndItsAdapterFoundByNameOrSerialNumber) {
  const std::vector<InventoryEntry> inventory = InventoryOf(SampleRows());
  // COM7 twice: the entry with the serial number tells its adapter.
  for (const char* port : {"COM7", "\\\\.\\COM7"}) {
    const InventoryEntry* entry = EntryForPort(port, inventory);
    ASSERT_NE(entry, nullptr) << port;
    EXPECT_EQ(entry->serialNumber, "A50285BI");
    EXPECT_EQ(UsbIdsText(*entry), "0403:6001");
  }
  EXPECT_EQ(UsbIdsText(*EntryForPort("COM1", inventory)), "");
  EXPECT_EQ(EntryForPort("COM99", inventory), nullptr);
  // What korvel opens for the port with that number, however it is written.
  EXPECT_EQ(PortsWithSerialNumber("a50285bi", inventory), std::vector<std::string>{"\\\\.\\COM7"});
  EXPECT_EQ(PortsWithSerialNumber("8D7A51A2", inventory), std::vector<std::string>{"\\\\.\\COM12"});
  EXPECT_TRUE(PortsWithSerialNumber("000000000", inventory).empty());  // the hub's, not a port's
}

TEST(ComPortRows, RegistryTextStopsAtItsNulAndNeverPassesItsBuffer) {
  // A value stored without its NUL, filling the whole buffer.
  RegistryText full;
  full.read = true;
  std::memset(full.bytes, 'A', sizeof(full.bytes));
  full.size = sizeof(full.bytes);
  EXPECT_EQ(RegistryTextValue(full), std::string(kRegistryTextSize, 'A'));

  // A reported size beyond the buffer (a value too long for it).
  full.size = 4000;
  EXPECT_EQ(RegistryTextValue(full).size(), kRegistryTextSize);

  // A size that ends before the NUL, and bytes after the NUL.
  RegistryText shortSize = Text("COM7");
  shortSize.size = 4;
  EXPECT_EQ(RegistryTextValue(shortSize), "COM7");
  RegistryText trailing = Text("COM7");
  std::memcpy(trailing.bytes + 5, "XYZ", 4);
  trailing.size = 9;
  EXPECT_EQ(RegistryTextValue(trailing), "COM7");
}

TEST(InventoryWalk, AnswersNoForAnUnknownPortWithoutReportOrTrace) {
  testing::internal::CaptureStdout();
  SetLastError(1234);
  const int known = IsKnownAdapterPort("KORVEL-NO-SUCH-PORT");
  const DWORD error = GetLastError();
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_EQ(known, 0);
  EXPECT_EQ(output, "");
  EXPECT_EQ(error, 1234u);
}

}  // namespace
