// How long a programming run takes on the line, for korvel-check: the one
// place the check asks the protocol's time model.
#pragma once

#include <cstdint>

// The least time in seconds that a run programming |imageLength| bytes
// takes at 115,200 baud: activation, sync, erase, every block and the
// reset with their replies on the wire, and the quiet time that ends each
// reply read: 20 ms with standard replies, 1 ms with fast ones
// (KORVEL_FAST=1). The device's own time to write a block comes on top.
double EstimateRunSeconds(uint32_t imageLength, bool fastReplies);
