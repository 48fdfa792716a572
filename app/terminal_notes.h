// What korvel adds for a person at a terminal, on standard error and only
// when it is a terminal: scripts that read korvel's output see exactly its
// lines, and a redirected standard error gets nothing.
#pragma once

#include "image/image_source.h"

// Before the run: an image argument that korvel reads as a command word
// while a file of that name exists, and what a HWPARM word will write,
// with warnings for text that is not read as meant.
// |selection| is what SelectImage decided for |imageArgument|.
void PrintImageArgumentNotes(const char* imageArgument, const ImageSelection& selection);

// After a failed run: what failed, on which port or file, and what to do,
// in plain words (see ExplainFailure).
void PrintFailureExplanation(const char* portArgument, const char* imageArgument);
