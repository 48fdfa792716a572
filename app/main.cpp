// korvel: writes a firmware image into the flash memory, or new contents
// into the EEPROM, of a serial-attached device through its bootloader.
#include "app/console.h"
#include "app/run.h"
#include "common/interrupts.h"

int main(int argc, char** argv) {
  SetUpStandardOutput();
  const int status = RunKorvel(argc, argv);
  NoteRunFinished();  // a console close event held meanwhile may go on
  return status;
}
