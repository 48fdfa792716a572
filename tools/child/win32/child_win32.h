// What the Windows files of the child process layer share among
// themselves, and what the Windows tests reach. Nothing of POSIX here.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "child_types.h"

// The event that the pipes' readers, the children's ends and the console's
// control handler set: one, auto-reset, for as long as the program runs.
HANDLE ChildWakeEvent();

// Notes, from the thread pool, that a child ended, for the next wait.
void NoteChildEnded();

// Starts a thread that reads |pipe| (the parent's end, which it takes over
// and closes) into |into|. False, with |pipe| closed, when it can't.
bool StartPipeReader(HANDLE pipe, ChildPipe* into);

// Whether |pipe| has bytes waiting or has ended.
bool PipeReady(const ChildPipe& pipe);

// The command line that gives a program |args| (its own name first) as the
// C runtime splits it: arguments with blanks, tabs or quotes, and empty
// ones, in quotes; a quote and the backslashes before it escaped.
std::string WindowsCommandLine(const std::vector<std::string>& args);

// An environment block ("NAME=value\0...\0\0") of the entries of |parent|
// (a block as GetEnvironmentStrings gives it), but with each variable of
// |settings| set to its value in place of any entry of that name (names
// compare without case, as Windows compares them).
std::string ChildEnvironmentBlock(const char* parent,
                                  const std::vector<std::pair<std::string, std::string>>& settings);
