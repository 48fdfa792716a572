// A self-updating progress line on standard error while the bootloader is
// woken and while a memory is programmed, shown only when standard error is
// a terminal: scripts that redirect it see nothing at all. The line always
// fits the terminal's width, so it never wraps.
//
// The same calls feed the progress channel, for a program that runs korvel
// (KORVEL_PROGRESS_FD): one plain line per programmed block on a
// descriptor it passed, whatever standard error is.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/run_state.h"

// The text of the line for |state| in a terminal |columns| wide: at most
// |columns| - 1 characters, so that the cursor never reaches the last column
// (where a terminal would wrap). A programming line holds a bar, blocks,
// bytes, percent, rate and time left; as the width shrinks it drops the
// bytes, then the rate, then shortens the bar, then drops the blocks, and
// the time left last. An activation line shortens its wording down to the
// probe count. While |state| says a keyboard interrupt was refused, the
// line says so instead: "can't stop now: about N s left". Empty when not
// even the shortest form fits.
//
// On a terminal the line keeps a few columns free beyond this, for the
// "^C" a terminal echoes after it.
std::string ProgressLineText(const ProgressState& state, int columns);

// Shows that sync probe |probe| of at most |probeLimit| is going out, each
// waiting up to |secondsPerProbe| for its answer. The first probe starts
// the line, if standard error is a terminal; ProgressEnd clears it.
void ProgressProbe(uint32_t probe, uint32_t probeLimit, double secondsPerProbe);

// Keeps how long the programming about to begin should take, for the time
// left before a rate can be measured.
void ProgressExpect(double estimatedSeconds);

// Starts the line for |totalBlocks| blocks of |totalBytes| bytes in all,
// if standard error is a terminal, and keeps the totals for the channel.
void ProgressBegin(uint32_t totalBlocks, uint32_t totalBytes);

// Shows |blocksDone| blocks and |bytesDone| bytes as done. Redraws at most
// every 100 ms, and always for the last block. Writes the channel's line
// every time: FlashImage calls it with 0 once the erase is acknowledged and
// after every acknowledged block.
void ProgressUpdate(uint32_t blocksDone, uint32_t bytesDone);

// Called while the run waits: answers a keyboard interrupt on the line at
// once, and keeps the answer's count of seconds current. Cheap when there
// is nothing to do.
void ProgressTick();

// Clears the line and ends it, so that the next line on standard output
// stands where it would stand without it. Safe to call at any time.
void ProgressEnd();

// Ends the line on every way out of a scope that draws it, before the
// caller prints its result line.
struct ProgressEndGuard {
  ProgressEndGuard() = default;
  ProgressEndGuard(const ProgressEndGuard&) = delete;
  ProgressEndGuard& operator=(const ProgressEndGuard&) = delete;
  ~ProgressEndGuard() { ProgressEnd(); }
};

// --- The progress channel ---------------------------------------------------

// Turns the channel on when |setting| (the text of KORVEL_PROGRESS_FD, or
// nullptr when it is not set) is a descriptor number in decimal digits
// alone, from 2 on (standard output stays as it is), and that descriptor is
// open for writing (on Windows: a C runtime descriptor, or else the value
// of an inherited handle, see InheritedDescriptor); otherwise the channel
// stays off and nothing else changes. Called once per run, before the run opens anything: a number
// that is not open then can't be taken by the port or an image file.
// Returns whether the channel is on.
bool ProgressChannelOpen(const char* setting);

// The channel's line: "block <blocksDone>/<totalBlocks> bytes
// <bytesDone>/<totalBytes>" and a line feed. Lines are written whole or not
// at all: a full pipe or a reader that has gone drops them, never holds the
// run up.
std::string ProgressChannelLine(const ProgressState& state);

// Reads a channel line (with or without its line feed) into the counts of
// |state|. False, and |state| untouched, for anything else.
bool ParseProgressChannelLine(std::string_view line, ProgressState* state);
