// A self-updating progress line on standard error while a memory is
// programmed, shown only when standard error is a terminal: scripts that
// redirect it see nothing at all.
#pragma once

#include <cstdint>

// Starts the line for |totalBlocks| blocks of |totalBytes| bytes in all.
// Does nothing unless standard error is a terminal.
void ProgressBegin(uint32_t totalBlocks, uint32_t totalBytes);

// Shows |blocksDone| blocks and |bytesDone| bytes as done. Redraws at most
// every 100 ms, and always for the last block.
void ProgressUpdate(uint32_t blocksDone, uint32_t bytesDone);

// Clears the line and ends it, so that the next line on standard output
// stands where it would stand without it. Safe to call at any time.
void ProgressEnd();
