// A self-updating progress line on standard error while the bootloader is
// woken and while a memory is programmed, shown only when standard error is
// a terminal: scripts that redirect it see nothing at all. The line always
// fits the terminal's width, so it never wraps.
#pragma once

#include <cstdint>
#include <string>

// What the line shows: the wake-up of the bootloader, or the programming.
enum class ProgressPhase { kActivating, kProgramming };

struct ProgressState {
  ProgressPhase phase = ProgressPhase::kProgramming;
  uint32_t probe = 0;       // activation: the sync probe going out, from 1
  uint32_t probeLimit = 0;  // activation: the most probes there will be
  uint32_t blocksDone = 0;
  uint32_t totalBlocks = 0;
  uint32_t bytesDone = 0;
  uint32_t totalBytes = 0;
  double seconds = 0.0;  // since programming started, for the rate and time left
};

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

// True when standard error is a terminal. Leaves the last system error as
// it was.
bool StandardErrorIsTerminal();

// The width of the terminal on standard error in columns, asked anew at each
// call (the user may resize it); 0 when it can't be told. Leaves the last
// system error as it was.
int StandardErrorColumns();
