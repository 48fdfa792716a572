// korvel-check <image argument> [activation baud | FORCE] [anything]: what
// korvel would do with these arguments, told without touching a port.
// Exit status 0 without warnings, 1 with, 2 for arguments it can't take.
#include <string>

#include "tools/check/check.h"
#include "tools/command_line.h"

int main(int argc, char** argv) {
  CLI::App app(
      "Tells what korvel would do with an image argument (and the activation arguments that "
      "may follow it) without touching a port, and warns where korvel would do what was most "
      "likely not meant.\nExit status: 0 without warnings, 1 with warnings, 2 on a usage error.",
      "korvel-check");
  std::string image;
  std::string third;
  std::string fourth;
  app.add_option("image", image,
                 "What korvel programs: a firmware file, a path containing eeprom.bin, "
                 "HWPARM<hh><number> or STOP")
      ->required();
  CLI::Option* thirdOption =
      app.add_option("activation", third, "korvel's third argument: the activation baud or FORCE");
  CLI::Option* fourthOption =
      app.add_option("force", fourth, "korvel's fourth argument: any text forces the activation");
  if (int status = 0; !ParseCommandLine(&app, argc, argv, &status)) return status;

  CheckReport report;
  CheckActivation(thirdOption->count() > 0 ? third.c_str() : nullptr,
                  fourthOption->count() > 0 ? fourth.c_str() : nullptr, &report);
  CheckImageArgument(image.c_str(), &report);
  return PrintCheckReport(report);
}
