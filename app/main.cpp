// korvel: writes a firmware image into the flash memory, or new contents
// into the EEPROM, of a serial-attached device through its bootloader.
#include "app/run.h"

int main(int argc, char** argv) {
  SetUpStandardOutput();
  return RunKorvel(argc, argv);
}
