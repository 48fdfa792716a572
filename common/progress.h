// A self-updating progress line on standard error while the bootloader is
// woken and while a memory is programmed, shown only when standard error is
// a terminal: scripts that redirect it see nothing at all. The line always
// fits the terminal's width, so it never wraps.
#pragma once

#include <cstdint>
#include <string>

#include "common/run_state.h"

// The text of the line for |state| in a terminal |columns| wide: at most
// |columns| - 1 characters, so that the cursor never reaches the last column
// (where a terminal would wrap). A programming line holds a bar, blocks,
// bytes, percent, rate and time left; as the width shrinks it drops the time
// left, then the rate, then the bytes, then shortens the bar, then drops the
// blocks. An activation line shortens its wording down to the probe count.
// Empty when not even that fits.
std::string ProgressLineText(const ProgressState& state, int columns);

// Shows that sync probe |probe| of at most |probeLimit| is going out. The
// first probe starts the line, if standard error is a terminal; ProgressEnd
// clears it.
void ProgressProbe(uint32_t probe, uint32_t probeLimit);

// Starts the line for |totalBlocks| blocks of |totalBytes| bytes in all.
// Does nothing unless standard error is a terminal.
void ProgressBegin(uint32_t totalBlocks, uint32_t totalBytes);

// Shows |blocksDone| blocks and |bytesDone| bytes as done. Redraws at most
// every 100 ms, and always for the last block.
void ProgressUpdate(uint32_t blocksDone, uint32_t bytesDone);

// Clears the line and ends it, so that the next line on standard output
// stands where it would stand without it. Safe to call at any time.
void ProgressEnd();
