// korvel-check: what a korvel run with these arguments would do, worked
// out by the rules korvel itself runs by, without a port; and warnings
// where korvel would do something the user most likely did not mean.
#pragma once

#include <string>
#include <vector>

// What the check found: lines that describe the run, then warnings.
struct CheckReport {
  std::vector<std::string> lines;
  std::vector<std::string> warnings;
};

// Describes what |imageArgument| selects: which memory, from which source,
// its size and blocks, the firmware version or the hardware parameters,
// and the time the programming takes. Reads the image file, as korvel
// would, and nothing else.
void CheckImageArgument(const char* imageArgument, CheckReport* report);

// Describes the activation that the third and fourth arguments (null when
// absent) choose.
void CheckActivation(const char* third, const char* fourth, CheckReport* report);

// Prints the lines, then each warning as "warning: <text>", on standard
// output. Returns the exit status: 0 without warnings, 1 with.
int PrintCheckReport(const CheckReport& report);
