// korvel-check <image argument> [activation baud | FORCE] [anything]: what
// korvel would do with these arguments, told without touching a port.
// Exit status 0 without warnings, 1 with, 2 for arguments it can't take.
#include <CLI/CLI.hpp>
#include <string>

#include "tools/check/check.h"

namespace {

constexpr int kUsageError = 2;

}  // namespace

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
  // Options are --words on every platform: a Windows-style "/x" would
  // take an image path such as /firmware/fw.img for an option.
  app.allow_windows_style_options(false);
  // CLI11 reports a bad command line by throwing; this is the one place
  // that catches it, and an error there is a usage error.
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : kUsageError;
  }

  CheckReport report;
  CheckActivation(thirdOption->count() > 0 ? third.c_str() : nullptr,
                  fourthOption->count() > 0 ? fourth.c_str() : nullptr, &report);
  CheckImageArgument(image.c_str(), &report);
  return PrintCheckReport(report);
}
