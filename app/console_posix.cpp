// Keyboard interrupts on POSIX: ignored for the whole run. Nothing of
// Windows here.
#include <csignal>
#include <cstdio>

#include "app/run.h"

void InstallConsoleCtrlHandler() {
  // Ctrl+C and Ctrl+\ must not leave a device half programmed.
  std::signal(SIGINT, SIG_IGN);
  std::signal(SIGQUIT, SIG_IGN);
  // A reader of our output that goes away must not end the run either: the
  // lines are lost, the programming is not.
  std::signal(SIGPIPE, SIG_IGN);
}

void SetUpStandardOutput() {
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
}
