// The port listing in text and JSON, with korvel's own verdict on each
// port: MatchKnownAdapter over the same inventory, ActivationBaudForPort.
#include "tools/ports/listing.h"

#include <algorithm>
#include <cctype>
#include <nlohmann/json.hpp>

#include "app/arguments.h"
#include "common/printable_text.h"

namespace {

using nlohmann::json;

// A text the system may not tell: null when it did not.
json TextOrNull(const std::string& text) {
  return text.empty() ? json(nullptr) : json(text);
}

bool IsRecognised(const InventoryEntry& entry, const std::vector<InventoryEntry>& inventory) {
  return MatchKnownAdapter(entry.portName.c_str(), inventory) == 1;
}

// One "  label: value" line of a port's block, when there is a value.
void AddField(const char* label, const std::string& value, std::string* text) {
  if (value.empty()) return;
  *text += std::string("  ") + label + PrintableText(value) + "\n";
}

}  // namespace

std::string PortsText(const std::vector<InventoryEntry>& inventory) {
  if (inventory.empty()) return "No serial ports.\n";
  std::string text;
  for (const InventoryEntry& entry : inventory) {
    const bool recognised = IsRecognised(entry, inventory);
    text += PrintableText(entry.portName) +
            (recognised ? ": a recognised adapter" : ": not a recognised adapter") +
            ", korvel activates it at " + GroupedDigits(ActivationBaudForPort(recognised)) +
            " baud\n";
    AddField("path:    ", entry.devicePath, &text);
    AddField("by-id:   ", entry.byIdLink, &text);
    AddField("driver:  ", entry.driver, &text);
    if (!entry.usbVendorId.empty()) {
      std::string usb = UsbIdsText(entry);
      if (!entry.serialNumber.empty()) usb += ", serial number " + entry.serialNumber;
      AddField("USB:     ", usb, &text);
    }
    std::string names;
    for (const std::string& name : entry.friendlyNames) names += (names.empty() ? "" : "; ") + name;
    AddField("names:   ", names, &text);
  }
  return text;
}

std::string PortsJson(const std::vector<InventoryEntry>& inventory) {
  json ports = json::array();
  for (const InventoryEntry& entry : inventory) {
    const bool recognised = IsRecognised(entry, inventory);
    json port = json::object();
    port["port"] = entry.portName;
    port["path"] = TextOrNull(entry.devicePath);
    port["by_id"] = TextOrNull(entry.byIdLink);
    port["driver"] = TextOrNull(entry.driver);
    if (entry.usbVendorId.empty()) {
      port["usb"] = nullptr;
    } else {
      port["usb"] = json::object();
      port["usb"]["vendor_id"] = entry.usbVendorId;
      port["usb"]["product_id"] = TextOrNull(entry.usbProductId);
      port["usb"]["serial_number"] = TextOrNull(entry.serialNumber);
    }
    port["friendly_names"] = entry.friendlyNames;
    port["recognised"] = recognised;
    port["activation_baud"] = ActivationBaudForPort(recognised);
    ports.push_back(std::move(port));
  }
  json listing = json::object();
  listing["ports"] = std::move(ports);
  // Names from devices need not be UTF-8: replaced, never a failure.
  return listing.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string UsbIdsText(const InventoryEntry& entry) {
  if (entry.usbVendorId.empty()) return "";
  return entry.usbVendorId + ":" + entry.usbProductId;
}

const InventoryEntry* EntryForPort(const std::string& port,
                                   const std::vector<InventoryEntry>& inventory) {
  // 1. The port as the inventory lists it: its node or its by-id link.
  // 2. korvel's own look-up: the name a path resolves to, without "\\.\".
  std::string name = InventoryNameForPort(port.c_str());
  if (name.starts_with("\\\\.\\")) name.erase(0, 4);
  const InventoryEntry* found = nullptr;
  for (const InventoryEntry& entry : inventory) {
    const bool listed =
        entry.devicePath == port || (!entry.byIdLink.empty() && entry.byIdLink == port);
    if (!listed && entry.portName != name) continue;
    if (found == nullptr || (found->serialNumber.empty() && !entry.serialNumber.empty())) {
      found = &entry;
    }
  }
  return found;
}

std::vector<std::string> PortsWithSerialNumber(std::string_view serialNumber,
                                               const std::vector<InventoryEntry>& inventory) {
  const auto sameLetters = [](std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
             return std::toupper(static_cast<unsigned char>(x)) ==
                    std::toupper(static_cast<unsigned char>(y));
           });
  };
  std::vector<std::string> ports;
  for (const InventoryEntry& entry : inventory) {
    if (serialNumber.empty() || !sameLetters(entry.serialNumber, serialNumber)) continue;
    if (std::find(ports.begin(), ports.end(), entry.devicePath) == ports.end()) {
      ports.push_back(entry.devicePath);
    }
  }
  return ports;
}
