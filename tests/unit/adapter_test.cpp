// Recognising known adapters: the matching rules, and the Linux inventory
// read from sysfs trees built here.
#include "serial/adapter.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/run.h"
#include "serial/tty_inventory.h"

namespace {

namespace fs = std::filesystem;

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

// A fake sysfs tree: USB devices with their strings, tty class links.
class SysfsTreeTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/korvel-sysfs-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    fs::create_directories(root_ / "class/tty");
    fs::create_directories(root_ / "bus/usb-serial/drivers/ftdi_sio");
    fs::create_directories(root_ / "bus/usb/drivers/cdc_acm");
  }
  void TearDown() override { fs::remove_all(root_); }

  static void WriteText(const fs::path& path, const std::string& text) {
    std::ofstream(path) << text << "\n";
  }

  // A USB device with one interface; the tty sits below the interface, or
  // below a port device under it (usb-serial drivers).
  void AddUsbTty(const std::string& tty, const std::string& usb, const std::string& product,
                 const std::string& manufacturer, const std::string& interfaceName,
                 const std::string& driver) {
    const fs::path device = root_ / "devices/pci0000:00/usb1" / usb;
    const fs::path interface = device / (usb + ":1.0");
    fs::path port = interface;
    if (driver == "ftdi_sio") port = interface / tty;
    fs::create_directories(port / "tty" / tty);
    if (!product.empty()) WriteText(device / "product", product);
    if (!manufacturer.empty()) WriteText(device / "manufacturer", manufacturer);
    if (!interfaceName.empty()) WriteText(interface / "interface", interfaceName);
    const fs::path driverDir = driver == "ftdi_sio" ? root_ / "bus/usb-serial/drivers/ftdi_sio"
                                                    : root_ / "bus/usb/drivers" / driver;
    fs::create_directories(driverDir);
    fs::create_directory_symlink(driverDir, port / "driver");
    fs::create_directory_symlink(port, port / "tty" / tty / "device");
    fs::create_directory_symlink(port / "tty" / tty, root_ / "class/tty" / tty);
  }

  // A virtual terminal: listed in the class, no device behind it.
  void AddVirtualTty(const std::string& tty) {
    fs::create_directories(root_ / "devices/virtual/tty" / tty);
    fs::create_directory_symlink(root_ / "devices/virtual/tty" / tty, root_ / "class/tty" / tty);
  }

  std::vector<InventoryEntry> Inventory() {
    std::vector<InventoryEntry> inventory;
    EXPECT_TRUE(ReadTtyInventory(root_.string(), &inventory));
    return inventory;
  }

  fs::path root_;
};

TEST_F(SysfsTreeTest, ListsHardwarePortsWithTheirUsbStrings) {
  AddUsbTty("ttyUSB0", "1-1", "FT232R USB UART", "FTDI", "", "ftdi_sio");
  AddUsbTty("ttyACM0", "1-2", "Orvane Link", "Orvane GmbH", "Orvane CDC", "cdc_acm");
  AddUsbTty("ttyACM1", "1-3", "Some Board", "Someone", "", "cdc_acm");
  AddVirtualTty("tty1");
  AddVirtualTty("ttyS0x");

  const std::vector<InventoryEntry> inventory = Inventory();
  ASSERT_EQ(inventory.size(), 3u);
  // ftdi_sio ports carry the name their Windows driver gives them.
  EXPECT_EQ(MatchKnownAdapter("ttyUSB0", inventory), 1);
  EXPECT_EQ(MatchKnownAdapter("ttyACM0", inventory), 1);
  EXPECT_EQ(MatchKnownAdapter("ttyACM1", inventory), 0);
  EXPECT_EQ(MatchKnownAdapter("tty1", inventory), 0);
  for (const InventoryEntry& entry : inventory) {
    if (entry.portName != "ttyACM0") continue;
    EXPECT_EQ(entry.friendlyNames,
              (std::vector<std::string>{"Orvane CDC", "Orvane Link", "Orvane GmbH"}));
  }
}

TEST_F(SysfsTreeTest, AnUnreadableTreeIsNoInventory) {
  std::vector<InventoryEntry> inventory;
  EXPECT_FALSE(ReadTtyInventory((root_ / "nothing-here").string(), &inventory));
  EXPECT_TRUE(inventory.empty());
}

TEST(TtyNameForPortTest, ResolvesPathsToTheirTtyName) {
  char pattern[] = "/tmp/korvel-link-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const fs::path dir = pattern;
  fs::create_symlink("/dev/null", dir / "by-id-link");
  EXPECT_EQ(TtyNameForPort((dir / "by-id-link").c_str()), "null");
  EXPECT_EQ(TtyNameForPort("/dev/ttyUSB0"), "ttyUSB0");  // missing: taken as written
  EXPECT_EQ(TtyNameForPort("ttyUSB3"), "ttyUSB3");
  EXPECT_EQ(TtyNameForPort("\\\\.\\COM7"), "\\\\.\\COM7");
  fs::remove_all(dir);
}

TEST(ChooseActivationTest, BaudAndForcedFlagFromTheArguments) {
  struct Case {
    std::vector<const char*> args;
    uint32_t baud;
    bool forced;
  };
  // The port is a pseudo-terminal name no adapter carries, so the lookup
  // (made only without a third argument) answers no.
  const Case cases[] = {
      {{"korvel", "ptmx", "fw.img"}, 115200, false},
      {{"korvel", "ptmx", "fw.img", "FORCE"}, 115200, true},
      {{"korvel", "ptmx", "fw.img", "forceful"}, 115200, true},
      {{"korvel", "ptmx", "fw.img", "Force"}, 0, false},  // mixed case is a (bad) number
      {{"korvel", "ptmx", "fw.img", "9600"}, 9600, false},
      {{"korvel", "ptmx", "fw.img", "9600", "x"}, 9600, true},
      {{"korvel", "ptmx", "fw.img", "FORCE", "x"}, 115200, true},
      {{"korvel", "ptmx", "fw.img", "3000000"}, 3000000, false},
      {{"korvel", "ptmx", "fw.img", "-1"}, 4294967295u, false},
  };
  for (const Case& c : cases) {
    const ActivationChoice choice =
        ChooseActivation(static_cast<int>(c.args.size()), c.args.data());
    EXPECT_EQ(choice.baud, c.baud) << c.args.size() << " " << c.args.back();
    EXPECT_EQ(choice.forced, c.forced) << c.args.size() << " " << c.args.back();
  }
}

}  // namespace
