// korvel-ports [--json]: the serial ports of this machine, and whether
// korvel recognises each as an adapter. Exit status 0, 1 when the system's
// list of ports can't be read, 2 on a usage error.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <vector>

#include "common/system.h"
#include "serial/adapter.h"
#include "tools/ports/listing.h"

namespace {

constexpr int kUsageError = 2;

}  // namespace

int main(int argc, char** argv) {
  CLI::App app(
      "Lists the serial ports with their device path, by-id link, driver, USB ids and serial "
      "number and names, and whether korvel recognises each as an adapter (activation at "
      "3,000,000 baud) or not (115,200 baud).",
      "korvel-ports");
  bool asJson = false;
  app.add_flag("--json", asJson, "Print the list as JSON, for scripts");
  // Options are --words on every platform, as the manual page has them.
  app.allow_windows_style_options(false);
  // CLI11 reports a bad command line by throwing; this is the one place
  // that catches it, and an error there is a usage error.
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : kUsageError;
  }

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
