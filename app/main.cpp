// korvel: writes a firmware image into the flash memory, or new contents
// into the EEPROM, of a serial-attached device through its bootloader.
#include <cstdio>

#include "app/run.h"

int main(int argc, char** argv) {
  // Line-buffered even into a pipe, so a script sees each line as it
  // happens and the lines keep their order.
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  return RunKorvel(argc, argv);
}
