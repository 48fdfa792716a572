// The Linux port inventory, read from sysfs trees built here, as korvel-ports
// lists it; and port arguments resolved to their tty names.
#include "serial/inventory_linux.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "serial/adapter.h"
#include "tools/ports/listing.h"

namespace {

namespace fs = std::filesystem;

// A fake sysfs tree (USB devices with their strings, tty class links) and
// the /dev beside it (device nodes as plain files, by-id links as udev
// makes them).
class SysfsTreeTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/korvel-sysfs-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    fs::create_directories(root_ / "class/tty");
    fs::create_directories(root_ / "bus/usb-serial/drivers/ftdi_sio");
    fs::create_directories(root_ / "bus/usb/drivers/cdc_acm");
    fs::create_directories(root_ / "dev/serial/by-id");
  }
  void TearDown() override { fs::remove_all(root_); }

  static void WriteText(const fs::path& path, const std::string& text) {
    std::ofstream(path) << text << "\n";
  }

  // A USB device with one interface; the tty sits below the interface, or
  // below a port device under it (usb-serial drivers). |ids| is
  // "vendor:product"; a by-id link is made when |byId| is not empty.
  void AddUsbTty(const std::string& tty, const std::string& usb, const std::string& product,
                 const std::string& manufacturer, const std::string& interfaceName,
                 const std::string& driver, const std::string& ids = "",
                 const std::string& serial = "", const std::string& byId = "") {
    const fs::path device = root_ / "devices/pci0000:00/usb1" / usb;
    const fs::path interface = device / (usb + ":1.0");
    fs::path port = interface;
    if (driver == "ftdi_sio") port = interface / tty;
    fs::create_directories(port / "tty" / tty);
    if (!product.empty()) WriteText(device / "product", product);
    if (!manufacturer.empty()) WriteText(device / "manufacturer", manufacturer);
    if (!interfaceName.empty()) WriteText(interface / "interface", interfaceName);
    if (!ids.empty()) {
      WriteText(device / "idVendor", ids.substr(0, 4));
      WriteText(device / "idProduct", ids.substr(5));
    }
    if (!serial.empty()) WriteText(device / "serial", serial);
    const fs::path driverDir = driver == "ftdi_sio" ? root_ / "bus/usb-serial/drivers/ftdi_sio"
                                                    : root_ / "bus/usb/drivers" / driver;
    LinkTty(tty, port, driverDir);
    if (!byId.empty()) fs::create_symlink("../../" + tty, root_ / "dev/serial/by-id" / byId);
  }

  // An on-board UART of the serial core, with the type the kernel gives
  // it: 0 when no UART answers at its address.
  void AddUartTty(const std::string& tty, const std::string& type) {
    const fs::path port = root_ / "devices/platform/serial8250" / tty;
    fs::create_directories(port / "tty" / tty);
    WriteText(port / "tty" / tty / "type", type);
    LinkTty(tty, port, root_ / "bus/platform/drivers/serial8250");
  }

  // The links of a tty below |port|: driver, device, class entry, node.
  void LinkTty(const std::string& tty, const fs::path& port, const fs::path& driverDir) {
    fs::create_directories(driverDir);
    fs::create_directory_symlink(driverDir, port / "driver");
    fs::create_directory_symlink(port, port / "tty" / tty / "device");
    fs::create_directory_symlink(port / "tty" / tty, root_ / "class/tty" / tty);
    WriteText(root_ / "dev" / tty, "");
  }

  // A virtual terminal: listed in the class, no device behind it.
  void AddVirtualTty(const std::string& tty) {
    fs::create_directories(root_ / "devices/virtual/tty" / tty);
    fs::create_directory_symlink(root_ / "devices/virtual/tty" / tty, root_ / "class/tty" / tty);
  }

  std::vector<InventoryEntry> Inventory() {
    std::vector<InventoryEntry> inventory;
    EXPECT_TRUE(ReadTtyInventory(root_.string(), (root_ / "dev").string(), &inventory));
    return inventory;
  }

  fs::path root_;
};

TEST_F(SysfsTreeTest, ListsHardwarePortsWithTheirUsbStrings) {
  AddUsbTty("ttyUSB0", "1-1", "FT232R USB UART", "FTDI", "", "ftdi_sio", "0403:6001", "A50285BI",
            "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
  AddUsbTty("ttyACM0", "1-2", "Orvane Link", "Orvane GmbH", "Orvane CDC", "cdc_acm", "1d50:6018",
            "", "usb-Orvane_GmbH_Orvane_Link-if00");
  AddUsbTty("ttyACM1", "1-3", "Some Board", "Someone", "", "cdc_acm");
  AddVirtualTty("tty1");
  AddVirtualTty("ttyS0x");
  AddUartTty("ttyS0", "4");
  AddUartTty("ttyS1", "0");  // no UART behind it: not listed

  const std::vector<InventoryEntry> inventory = Inventory();
  ASSERT_EQ(inventory.size(), 4u);
  // ftdi_sio ports carry the name their Windows driver gives them.
  EXPECT_EQ(MatchKnownAdapter("ttyUSB0", inventory), 1);
  EXPECT_EQ(MatchKnownAdapter("ttyACM0", inventory), 1);
  EXPECT_EQ(MatchKnownAdapter("ttyACM1", inventory), 0);
  EXPECT_EQ(MatchKnownAdapter("ttyS0", inventory), 0);
  EXPECT_EQ(MatchKnownAdapter("tty1", inventory), 0);

  // Listed in name order, each with where it is and what it is.
  const std::string dev = (root_ / "dev").string();
  struct Expected {
    const char* port;
    const char* driver;
    const char* vendor;
    const char* product;
    const char* serial;
    std::string byId;
  };
  const Expected expected[] = {
      {"ttyACM0", "cdc_acm", "1d50", "6018", "",
       dev + "/serial/by-id/usb-Orvane_GmbH_Orvane_Link-if00"},
      {"ttyACM1", "cdc_acm", "", "", "", ""},
      {"ttyS0", "serial8250", "", "", "", ""},
      {"ttyUSB0", "ftdi_sio", "0403", "6001", "A50285BI",
       dev + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"},
  };
  for (size_t i = 0; i < inventory.size(); ++i) {
    const InventoryEntry& entry = inventory[i];
    EXPECT_EQ(entry.portName, expected[i].port);
    EXPECT_EQ(entry.devicePath, dev + "/" + expected[i].port);
    EXPECT_EQ(entry.driver, expected[i].driver) << entry.portName;
    EXPECT_EQ(entry.usbVendorId, expected[i].vendor) << entry.portName;
    EXPECT_EQ(entry.usbProductId, expected[i].product) << entry.portName;
    EXPECT_EQ(entry.serialNumber, expected[i].serial) << entry.portName;
    EXPECT_EQ(entry.byIdLink, expected[i].byId) << entry.portName;
  }
  EXPECT_EQ(inventory[0].friendlyNames,
            (std::vector<std::string>{"Orvane CDC", "Orvane Link", "Orvane GmbH"}));
  EXPECT_EQ(inventory[3].friendlyNames,
            (std::vector<std::string>{"USB Serial Port", "FT232R USB UART", "FTDI"}));
  EXPECT_TRUE(inventory[2].friendlyNames.empty());
}

TEST_F(SysfsTreeTest, ListsThePortsForReadersAndScriptsWithKorvelsVerdict) {
  AddUsbTty("ttyUSB0", "1-1", "FT232R USB UART", "FTDI", "", "ftdi_sio", "0403:6001", "A50285BI",
            "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
  // A product string that is not UTF-8 and carries an escape sequence.
  AddUsbTty("ttyACM1", "1-3", "Board\xff\x1b[2J", "Someone", "", "cdc_acm", "2341:0043");
  const std::vector<InventoryEntry> inventory = Inventory();
  ASSERT_EQ(inventory.size(), 2u);

  // JSON: parses, with every field, the device's bytes made valid.
  const nlohmann::json listing = nlohmann::json::parse(PortsJson(inventory), nullptr, false);
  ASSERT_FALSE(listing.is_discarded()) << PortsJson(inventory);
  const nlohmann::json& ports = listing["ports"];
  ASSERT_EQ(ports.size(), 2u);
  EXPECT_EQ(ports[0]["port"], "ttyACM1");
  EXPECT_EQ(ports[0]["by_id"], nullptr);
  EXPECT_EQ(ports[0]["usb"]["serial_number"], nullptr);
  EXPECT_EQ(ports[0]["friendly_names"][0], "Board\xef\xbf\xbd\x1b[2J");  // U+FFFD
  EXPECT_EQ(ports[0]["recognised"], false);
  EXPECT_EQ(ports[0]["activation_baud"], 115200);
  EXPECT_EQ(ports[1]["path"], (root_ / "dev/ttyUSB0").string());
  EXPECT_EQ(ports[1]["by_id"],
            (root_ / "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0").string());
  EXPECT_EQ(ports[1]["driver"], "ftdi_sio");
  EXPECT_EQ(ports[1]["usb"],
            nlohmann::json::parse(
                R"({"vendor_id": "0403", "product_id": "6001", "serial_number": "A50285BI"})"));
  EXPECT_EQ(ports[1]["recognised"], true);
  EXPECT_EQ(ports[1]["activation_baud"], 3000000);

  // Text: one block per port, korvel's verdict first, control bytes as '?'.
  const std::string text = PortsText(inventory);
  EXPECT_NE(text.find("ttyACM1: not a recognised adapter, korvel activates it at 115,200 baud\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("  names:   Board\xff?[2J; Someone\n"), std::string::npos) << text;
  EXPECT_NE(text.find("ttyUSB0: a recognised adapter, korvel activates it at 3,000,000 baud\n"),
            std::string::npos);
  EXPECT_NE(text.find("  USB:     0403:6001, serial number A50285BI\n"), std::string::npos);
  EXPECT_EQ(PortsText({}), "No serial ports.\n");
}

TEST_F(SysfsTreeTest, APortArgumentFindsItsAdapterThroughItsLinks) {
  AddUsbTty("ttyUSB0", "1-1", "FT232R USB UART", "FTDI", "", "ftdi_sio", "0403:6001", "A50285BI",
            "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
  AddUsbTty("ttyACM0", "1-2", "Some Board", "Someone", "", "cdc_acm", "2341:0043");
  const std::vector<InventoryEntry> inventory = Inventory();
  // The by-id link and the node lead to the same entry, as korvel looks
  // adapters up; a port the inventory does not know has none.
  const fs::path byId = root_ / "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
  for (const std::string& port : {byId.string(), (root_ / "dev/ttyUSB0").string()}) {
    const InventoryEntry* entry = EntryForPort(port, inventory);
    ASSERT_NE(entry, nullptr) << port;
    EXPECT_EQ(entry->serialNumber, "A50285BI");
    EXPECT_EQ(UsbIdsText(*entry), "0403:6001");
  }
  EXPECT_EQ(UsbIdsText(*EntryForPort((root_ / "dev/ttyACM0").string(), inventory)), "2341:0043");
  // korvel's own look-up: a path resolved to its tty name (here a node that
  // is not on this machine, taken as written).
  EXPECT_EQ(EntryForPort("/dev/ttyUSB0", inventory)->serialNumber, "A50285BI");
  EXPECT_EQ(EntryForPort((root_ / "dev/ttyUSB7").string(), inventory), nullptr);
  EXPECT_EQ(EntryForPort("/dev/pts/3", inventory), nullptr);
  EXPECT_EQ(PortsWithSerialNumber("A50285BI", inventory),
            std::vector<std::string>{(root_ / "dev/ttyUSB0").string()});
}

TEST_F(SysfsTreeTest, AnUnreadableTreeIsNoInventory) {
  std::vector<InventoryEntry> inventory;
  EXPECT_FALSE(ReadTtyInventory((root_ / "nothing-here").string(), "/dev", &inventory));
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
