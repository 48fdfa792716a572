// Low latency on POSIX systems other than Linux: there is nothing portable
// to ask for, so the port runs as its driver has it.
#include "serial/low_latency.h"

void RequestLowLatency(int) {}

void TightenTimerSlack() {}
