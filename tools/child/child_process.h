// Running a program as a child process: started with its standard output,
// and a second channel when asked for, in pipes the parent reads without
// ever waiting; ended gently or at once; reaped. Written once for every
// program of korvel's that runs another (korvel-gang, the benchmarks).
//
// The build picks the platform files (child_process_linux.cpp or
// child_process_win32.cpp, with the pipes and the wait beside them) and the
// child_types.h of that platform: the records below hold nothing else of
// the platform.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "child_types.h"

// What to run.
struct ChildLaunch {
  std::string program;            // a path to the program
  std::vector<std::string> args;  // its arguments after its own name
  // When not empty, the child gets the writing end of a second pipe, and
  // this environment variable names it, in place of any of that name the
  // parent's environment has: on POSIX descriptor 3 ("3"), on Windows an
  // inherited handle (its value in decimal).
  std::string channelVariable;
  // Windows: when not empty, the child gets an event that AskChildToEnd
  // sets, and this environment variable names its inherited handle (its
  // value in decimal); a child that watches it ends at its next safe
  // point. POSIX has SIGTERM for that and ignores this.
  std::string stopVariable;
  // When not 0, the child's standard output and error are a pseudo-terminal
  // of this many columns and rows, which the parent reads through
  // Child::output as it reads the pipe otherwise: the child draws what it
  // draws for a person (the gang benchmark measures korvel-gang with its
  // board). POSIX only: on Windows StartChild refuses it.
  int terminalColumns = 0;
  int terminalRows = 0;
};

// A started child: the process and the parent's ends of its pipes.
struct Child {
  ChildProcess process;
  ChildPipe output;   // its standard output
  ChildPipe channel;  // its second channel, when one was asked for
};

// How a child ended.
struct ChildExit {
  // The exit status as a POSIX shell reads it, 0 to 255 (an exit with -1
  // reads 255, on Windows too); -1 when it did not end by itself.
  int status = -1;
  // POSIX: the signal that ended it; 0 when none did (always on Windows).
  int signal = 0;
};

// Starts |launch| as a child of its own: standard input from the null device,
// standard output into a pipe, standard error to the null device (or both
// on the terminal ChildLaunch asks for), nothing
// else of the parent's but the channel, and out of reach of the keyboard's
// interrupts on the parent's terminal (which are the parent's to handle).
// False, with the reason in |error| and nothing left open, when it can't.
bool StartChild(const ChildLaunch& launch, Child* child, std::string* error);

// Whether the parent's end of |pipe| is still open.
bool ChildPipeOpen(const ChildPipe& pipe);

// How long ReadChildPipe may wait.
enum class PipeRead {
  kNow,    // never: what has arrived, if anything
  kToEnd,  // the child has ended: what is still on its way (bounded)
};

// Moves up to |size| bytes that wait in |pipe| into |buffer|. Returns the
// count; 0 when nothing waits, or when the pipe has ended, which closes it.
size_t ReadChildPipe(ChildPipe* pipe, char* buffer, size_t size, PipeRead mode);

// Closes the parent's end of |pipe|; nothing when it is closed already.
void CloseChildPipe(ChildPipe* pipe);

// Whether the child has ended; if it has, reaps it and fills |exit|.
// Never waits.
bool ChildEnded(Child* child, ChildExit* exit);

// Asks the child to end at its next safe point: SIGTERM on POSIX; on
// Windows the stop event of ChildLaunch::stopVariable, or else a Ctrl+Break
// to its own process group, where its console takes one. False when there
// is no such way (KillChild is all that is left).
bool AskChildToEnd(Child* child);

// Ends the child at once: SIGKILL, TerminateProcess.
void KillChild(Child* child);

// The program |name| in the folder of the running program ("name.exe" on
// Windows); just |name| when that folder can't be told.
std::string ProgramBesideSelf(const std::string& name);
