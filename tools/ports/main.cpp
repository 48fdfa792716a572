// korvel-ports [--json]: the serial ports of this machine, and whether
// korvel recognises each as an adapter. Exit status 0, 1 when the system's
// list of ports can't be read, 2 on a usage error.
#include <cstdio>
#include <vector>

#include "common/system.h"
#include "serial/adapter.h"
#include "tools/command_line.h"
#include "tools/ports/listing.h"

int main(int argc, char** argv) {
  CLI::App app(
      "Lists the serial ports with their device path, by-id link, driver, USB ids and serial "
      "number and names, and whether korvel recognises each as an adapter (activation at "
      "3,000,000 baud) or not (115,200 baud).",
      "korvel-ports");
  bool asJson = false;
  app.add_flag("--json", asJson, "Print the list as JSON, for scripts");
  if (int status = 0; !ParseCommandLine(&app, argc, argv, &status)) return status;

  std::vector<InventoryEntry> inventory;
  if (!ReadPortInventory(&inventory)) {
    std::fprintf(
        stderr,
        "korvel-ports: the system's list of serial ports can't be read (system error %lu)\n",
        LastSystemError());
    return 1;
  }
  const std::string listing = asJson ? PortsJson(inventory) : PortsText(inventory);
  std::fputs(listing.c_str(), stdout);
  return 0;
}
