// Keyboard interrupts and stop requests on POSIX. Nothing of Windows here.
#include <signal.h>

#include <csignal>
#include <cstdio>

#include "app/console.h"
#include "common/interrupts.h"

namespace {

void OnKeyboardInterrupt(int /*signal*/) {
  NoteKeyboardInterrupt();
}

void OnStopRequest(int signal) {
  NoteStopRequest(signal == SIGHUP ? StopReason::kHangUp : StopReason::kTerminate);
}

// Without SA_RESTART: a wait that the signal cuts short returns, and the
// run looks at its requests before it waits again.
void Catch(int signal, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
}

}  // namespace

void InstallConsoleCtrlHandler() {
  // Ctrl+C and Ctrl+\ must not leave a device half programmed: they are
  // caught, counted (the progress line answers them) and otherwise ignored.
  Catch(SIGINT, OnKeyboardInterrupt);
  Catch(SIGQUIT, OnKeyboardInterrupt);
  // kill, a closed terminal or a time limit end the run at its next safe
  // point instead of cutting it off with the port's settings changed.
  Catch(SIGTERM, OnStopRequest);
  Catch(SIGHUP, OnStopRequest);
  // A reader of our output that goes away must not end the run either: the
  // lines are lost, the programming is not.
  std::signal(SIGPIPE, SIG_IGN);
}

void SetUpStandardOutput() {
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
}
