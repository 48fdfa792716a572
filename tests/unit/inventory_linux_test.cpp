// The Linux port inventory, read from sysfs trees built here, and port
// arguments resolved to their tty names.
#include "serial/inventory_linux.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "serial/adapter.h"

namespace {

namespace fs = std::filesystem;

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

}  // namespace
