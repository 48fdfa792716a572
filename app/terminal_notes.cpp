// Notes for a person at a terminal, on standard error.
#include "app/terminal_notes.h"

#include <cstdio>
#include <string>

#include "app/explanation.h"
#include "image/image_notes.h"
#include "image/image_source.h"

void PrintImageArgumentNotes(const char* imageArgument, const ImageSelection& selection) {
  const std::string commandWord = CommandWordFileWarning(imageArgument, selection);
  if (!commandWord.empty()) std::fprintf(stderr, "warning: %s\n", commandWord.c_str());
  if (!selection.builtIn) return;
  // A HWPARM word: the bytes it writes, which nothing else shows.
  std::fprintf(stderr,
               "%s: korvel programs the EEPROM's first bytes as %s, then 251 bytes FF and 256 "
               "bytes 00, after a chip erase that may clear the flash too.\n",
               Quoted(imageArgument).c_str(), HwParamsText(selection.hwParams).c_str());
  for (const std::string& warning : HwParamWarnings(imageArgument, selection.hwParams)) {
    std::fprintf(stderr, "warning: %s\n", warning.c_str());
  }
}

void PrintFailureExplanation(const char* portArgument, const char* imageArgument) {
  const std::string text = ExplainFailure(AccountOfThisRun(), portArgument, imageArgument);
  if (!text.empty()) std::fprintf(stderr, "%s\n", text.c_str());
}
