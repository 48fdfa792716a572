// Recognising known adapters: the matching rules, and finding ports by
// their adapter's USB serial number, the same on every platform. Built into
// the Windows tests as well.
#include "serial/adapter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/ports/listing.h"

namespace {

TEST(MatchKnownAdapterTest, ExactPortNameAndAnyMarkInAFriendlyName) {
  const std::vector<InventoryEntry> inventory = {
      {"COM3", {"Communications Port (COM3)"}},
      {"COM7", {"Generic modem (COM7)"}},
      {"COM7", {"USB Serial Port (COM7)"}},  // same port name twice: one mark is enough
      {"COM8", {"Orvane adapter"}},
      {"COM9", {"Tavlo CAN Channel 2"}},
      {"COM10", {"usb serial port"}},  // marks are case-sensitive
      {"COM11", {}},                   // friendly name unreadable
  };
  EXPECT_EQ(MatchKnownAdapter("COM7", inventory), 1);
  EXPECT_EQ(MatchKnownAdapter("COM8", inventory), 1);
  EXPECT_EQ(MatchKnownAdapter("COM9", inventory), 1);
  EXPECT_EQ(MatchKnownAdapter("COM3", inventory), 0);
  EXPECT_EQ(MatchKnownAdapter("COM10", inventory), 0);
  EXPECT_EQ(MatchKnownAdapter("COM11", inventory), 0);
  EXPECT_EQ(MatchKnownAdapter("com7", inventory), 0);  // exact case
  EXPECT_EQ(MatchKnownAdapter("COM", inventory), 0);   // whole string
  EXPECT_EQ(MatchKnownAdapter("COM77", inventory), 0);
  EXPECT_EQ(MatchKnownAdapter("COM1", inventory), 0);         // not present
  EXPECT_EQ(MatchKnownAdapter("\\\\.\\COM7", inventory), 1);  // device prefix skipped
  // Names that begin with a backslash but are shorter than the prefix are
  // compared without reading past their end.
  EXPECT_EQ(MatchKnownAdapter("\\", inventory), 0);
  EXPECT_EQ(MatchKnownAdapter("\\\\.", inventory), 0);
  EXPECT_EQ(MatchKnownAdapter("", inventory), 0);
}

TEST(PortsWithSerialNumberTest, OnePortPerAdapterAnyCaseAndEveryPortOfAMultiPortAdapter) {
  std::vector<InventoryEntry> inventory(6);
  const char* rows[][3] = {
      // port name, what opens it, serial number
      {"ttyUSB0", "/dev/ttyUSB0", "A50285BI"},
      {"ttyUSB1", "/dev/ttyUSB1", "FT4232A"},  // a four-port adapter: one number
      {"ttyUSB2", "/dev/ttyUSB2", "FT4232A"},
      {"COM7", "\\\\.\\COM7", "8D7A51A2"},
      {"COM7", "\\\\.\\COM7", "8D7A51A2"},  // a stale second entry of the same port
      {"ttyACM0", "/dev/ttyACM0", ""},
  };
  for (size_t i = 0; i < inventory.size(); ++i) {
    inventory[i].portName = rows[i][0];
    inventory[i].devicePath = rows[i][1];
    inventory[i].serialNumber = rows[i][2];
  }
  using Ports = std::vector<std::string>;
  EXPECT_EQ(PortsWithSerialNumber("A50285BI", inventory), Ports{"/dev/ttyUSB0"});
  EXPECT_EQ(PortsWithSerialNumber("a50285bi", inventory), Ports{"/dev/ttyUSB0"});
  EXPECT_EQ(PortsWithSerialNumber("FT4232A", inventory), (Ports{"/dev/ttyUSB1", "/dev/ttyUSB2"}));
  EXPECT_EQ(PortsWithSerialNumber("8D7A51A2", inventory), Ports{"\\\\.\\COM7"});
  EXPECT_EQ(PortsWithSerialNumber("A50285B", inventory), Ports{});  // whole numbers only
  EXPECT_EQ(PortsWithSerialNumber("", inventory), Ports{});         // no number is no adapter's
}

}  // namespace
