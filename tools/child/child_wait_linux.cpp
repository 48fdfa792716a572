// Waiting for children on Linux: one poll over their pipes and a signalfd
// that takes the stop requests, the children's ends and the terminal's new
// size. Nothing of Windows here.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>

#include "tools/child/child_wait.h"

namespace {

// The signals the waiter takes through its descriptor, blocked beforehand:
// the stop requests (SIGHUP too: a terminal that closes must not cost the
// reports), a child's end, a terminal's new size.
sigset_t WaitedSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGCHLD, SIGWINCH}) sigaddset(&signals, sig);
  return signals;
}

// Takes the signals that came in.
void TakeSignals(int signalFd, WaitEvents* events) {
  signalfd_siginfo info{};
  while (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    if (info.ssi_signo == SIGCHLD) {
      events->childEnded = true;
    } else if (info.ssi_signo == SIGWINCH) {
      events->resized = true;
    } else {
      ++events->stopRequests;
    }
  }
}

}  // namespace

bool OpenChildWaiter(ChildWaiter* waiter, std::string* error) {
  // A reader of our output that goes away must not end the program before
  // its reports are written.
  std::signal(SIGPIPE, SIG_IGN);
  const sigset_t signals = WaitedSignals();
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  waiter->signalFd = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
  if (waiter->signalFd < 0) {
    *error = std::string("signalfd: ") + std::strerror(errno);
    return false;
  }
  return true;
}

void CloseChildWaiter(ChildWaiter* waiter) {
  if (waiter->signalFd >= 0) close(waiter->signalFd);
  waiter->signalFd = -1;
  const sigset_t signals = WaitedSignals();
  sigprocmask(SIG_UNBLOCK, &signals, nullptr);
}

WaitEvents WaitForChildren(ChildWaiter* waiter, const std::vector<const ChildPipe*>& pipes,
                           std::chrono::milliseconds limit, std::vector<bool>* ready) {
  std::vector<pollfd> fds = {{waiter->signalFd, POLLIN, 0}};
  for (const ChildPipe* pipe : pipes) fds.push_back({pipe->fd, POLLIN, 0});
  const auto waitMs = static_cast<int>(std::clamp<long long>(limit.count(), 0, INT_MAX));
  WaitEvents events;
  ready->assign(pipes.size(), false);
  if (poll(fds.data(), fds.size(), waitMs) < 0) {
    // Nothing is known: every pipe is looked at, as after a child's end.
    if (errno != EINTR) events.failure = std::string("poll: ") + std::strerror(errno);
    ready->assign(pipes.size(), errno != EINTR);
    return events;
  }
  if (fds[0].revents != 0) TakeSignals(waiter->signalFd, &events);
  for (size_t i = 0; i < pipes.size(); ++i) (*ready)[i] = fds[i + 1].revents != 0;
  return events;
}
