// korvel-ports [--json | --serial-number SN]: the serial ports of this
// machine, and whether korvel recognises each as an adapter; or the one
// port whose adapter carries a USB serial number. Exit status 0, 1 when the
// system's list of ports can't be read (or no port carries the number), 2
// on a usage error (or when several ports carry it).
#include <cstdio>
#include <string>
#include <vector>

#include "common/printable_text.h"
#include "common/system.h"
#include "serial/adapter.h"
#include "tools/command_line.h"
#include "tools/ports/listing.h"

namespace {

constexpr int kNoSuchPort = 1;
constexpr int kSeveralPorts = 2;

// Prints the one port that carries |serialNumber|, for a script:
// korvel "$(korvel-ports --serial-number A123)" fw.img
int PrintPortWithSerialNumber(const std::string& serialNumber,
                              const std::vector<InventoryEntry>& inventory) {
  const std::vector<std::string> ports = PortsWithSerialNumber(serialNumber, inventory);
  if (ports.size() == 1) {
    std::printf("%s\n", ports[0].c_str());
    return 0;
  }
  if (ports.empty()) {
    std::fprintf(stderr, "korvel-ports: no port's adapter has the serial number %s\n",
                 PrintableText(serialNumber).c_str());
    return kNoSuchPort;
  }
  std::fprintf(stderr, "korvel-ports: %zu ports have the serial number %s:", ports.size(),
               PrintableText(serialNumber).c_str());
  for (const std::string& port : ports) std::fprintf(stderr, " %s", PrintableText(port).c_str());
  std::fprintf(stderr, "\n");
  return kSeveralPorts;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app(
      "Lists the serial ports with their device path, by-id link, driver, USB ids and serial "
      "number and names, and whether korvel recognises each as an adapter (activation at "
      "3,000,000 baud) or not (115,200 baud).",
      "korvel-ports");
  bool asJson = false;
  std::string serialNumber;
  CLI::Option* json = app.add_flag("--json", asJson, "Print the list as JSON, for scripts");
  app.add_option("--serial-number", serialNumber,
                 "Print only the port whose adapter has this USB serial number (exit status 1: "
                 "none has it, 2: several have it)")
      ->type_name("SN")
      ->excludes(json);
  if (int status = 0; !ParseCommandLine(&app, argc, argv, &status)) return status;

  std::vector<InventoryEntry> inventory;
  if (!ReadPortInventory(&inventory)) {
    std::fprintf(
        stderr,
        "korvel-ports: the system's list of serial ports can't be read (system error %lu)\n",
        LastSystemError());
    return 1;
  }
  if (app.count("--serial-number") > 0) return PrintPortWithSerialNumber(serialNumber, inventory);
  const std::string listing = asJson ? PortsJson(inventory) : PortsText(inventory);
  std::fputs(listing.c_str(), stdout);
  return 0;
}
