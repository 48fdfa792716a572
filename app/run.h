// The command-line driver: from the arguments to the exit status.
#pragma once

#include "app/exit_status.h"

// The whole run: banner, argument check, activation, STOP or programming.
// Returns the exit status, 0 or -1.
int RunKorvel(int argc, const char* const* argv);
