// korvel-devsim's command line: what the device is to do, read the way the
// companions read theirs.
#pragma once

#include <string>

#include "devsim/records.h"

struct DevsimOptions {
  DevsimConfig config;
  std::string linkPath;
  bool exitAfterReset = false;
};

// Reads the command line into |options|. Returns true to go on; false when
// the command line ends the program here, with its text printed and the
// exit status in |status|: 0 after --help (the usage on standard output),
// 2 for a bad command line (a reason and the usage on standard error).
bool ReadDevsimOptions(int argc, char** argv, DevsimOptions* options, int* status);
