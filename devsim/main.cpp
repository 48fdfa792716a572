// korvel-devsim: a simulated device on a pseudo-terminal, for trying korvel
// by hand or from scripts without hardware.
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "devsim/devsim.h"
#include "devsim/options.h"

namespace {

// Points |linkPath| at |target|. A symlink left behind by an earlier run is
// replaced; anything else at that path is left alone and is an error.
bool CreateLink(const std::string& linkPath, const std::string& target) {
  struct stat existing {};
  if (lstat(linkPath.c_str(), &existing) == 0 && S_ISLNK(existing.st_mode)) {
    unlink(linkPath.c_str());
  }
  return symlink(target.c_str(), linkPath.c_str()) == 0;
}

// True once the program should end on its own.
bool DeviceIsDone(Devsim* devsim, bool exitAfterReset) {
  return DevsimWaitUntil(
      devsim,
      [&](const DevsimRecord& record) {
        return record.vanished || (exitAfterReset && record.resets > 0);
      },
      0);
}

// Blocks SIGINT and SIGTERM and returns a descriptor they arrive on, or -1.
// Blocked before the device thread starts, so that it inherits the mask
// and the signals always reach the descriptor.
int OpenStopSignals() {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  return signalfd(-1, &stopSignals, SFD_CLOEXEC);
}

// Waits until a stop signal comes on |signalFd| or the device is done;
// returns the exit status: 0, or 1 when the wait itself failed.
int RunUntilDone(Devsim* devsim, int signalFd, bool exitAfterReset) {
  while (!DeviceIsDone(devsim, exitAfterReset)) {
    pollfd fds[2] = {{signalFd, POLLIN, 0}, {DevsimChangeFd(devsim), POLLIN, 0}};
    const int ready = poll(fds, 2, 1000);
    if (ready < 0 && errno != EINTR) {
      std::perror("korvel-devsim: poll");
      return 1;
    }
    if (ready > 0 && fds[0].revents != 0) return 0;
    if (ready > 0 && fds[1].revents != 0) {
      uint64_t changes = 0;
      const ssize_t ignored = read(fds[1].fd, &changes, sizeof changes);
      (void)ignored;
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // 1. The command line.
  DevsimOptions options;
  if (int status = 0; !ReadDevsimOptions(argc, argv, &options, &status)) return status;

  // 2. SIGINT and SIGTERM arrive through a descriptor, never as handlers.
  const int signalFd = OpenStopSignals();
  if (signalFd < 0) {
    std::perror("korvel-devsim: signalfd");
    return 1;
  }

  // 3. The device, then its symlink, then the announcement that it is ready.
  DevsimPtr devsim(StartDevsim(options.config));
  if (!devsim) {
    std::perror("korvel-devsim: no pseudo-terminal");
    return 1;
  }
  const std::string path = DevsimPortPath(devsim.get());
  if (!options.linkPath.empty() && !CreateLink(options.linkPath, path)) {
    std::fprintf(stderr, "korvel-devsim: cannot link %s: %s\n", options.linkPath.c_str(),
                 std::strerror(errno));
    return 1;
  }
  std::printf("korvel-devsim: device on %s\n", path.c_str());
  std::fflush(stdout);

  // 4. Run until a signal, a reset (with --exit-after-reset) or a vanish.
  const int status = RunUntilDone(devsim.get(), signalFd, options.exitAfterReset);

  // 5. Stop the device before the link goes, then the link.
  devsim.reset();
  if (!options.linkPath.empty()) unlink(options.linkPath.c_str());
  close(signalFd);
  return status;
}
