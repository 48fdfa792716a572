// korvel-gang: flashes many devices at once, one korvel run per port, or a
// station that flashes every port matching a pattern as it appears.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "image/image_notes.h"
#include "image/image_source.h"
#include "serial/adapter.h"
#include "tools/command_line.h"
#include "tools/gang/gang.h"

namespace {

constexpr int kExitAllPassed = 0;
constexpr int kExitNotAllPassed = 1;

// The board is redrawn at most this often while something changes, and
// once a second for its clocks while nothing does.
constexpr auto kBoardInterval = std::chrono::milliseconds(100);
constexpr auto kBoardTick = std::chrono::seconds(1);
// How often the station looks for ports.
constexpr auto kScanInterval = std::chrono::milliseconds(200);

using std::chrono::milliseconds;

// True to go on; false when the command line ends the program here (help,
// or a bad command line), with the exit status in |status|.
bool ParseGangCommandLine(int argc, char** argv, GangOptions* options, int* status) {
  CLI::App app{
      "Flashes many devices at once: one korvel run per port, each exactly a korvel run "
      "(korvel <port> <image> [activation]), with a live board on a terminal, a log per run, "
      "a summary and JSON and JUnit reports. Exit status 0 only when every run ended with 0.",
      "korvel-gang"};
  app.add_option("image", options->image, "korvel's image argument (file, HWPARM..., STOP)");
  app.add_option("ports", options->ports, "the ports to flash, one korvel run each");
  CLI::Option* all =
      app.add_flag("--all", options->allAdapters, "every port korvel recognises as an adapter");
  CLI::Option* watch = app.add_option(
      "--watch", options->watchPattern,
      "station mode: flash each port matching PATTERN (e.g. '/dev/serial/by-id/*') when it "
      "appears, until Ctrl+C");
  watch->type_name("PATTERN");
  all->excludes(watch);
  app.add_option("--activation", options->activation,
                 "korvel's third argument for every run: the activation baud, or FORCE")
      ->type_name("BAUD|FORCE");
  app.add_option("--log-dir", options->logDir, "where each run's output goes, one file per run")
      ->type_name("DIR")
      ->capture_default_str();
  app.add_option("--json", options->jsonPath, "write a JSON report to FILE")->type_name("FILE");
  app.add_option("--junit", options->junitPath, "write a JUnit XML report to FILE")
      ->type_name("FILE");
  app.add_option("--time-limit", options->timeLimitSeconds,
                 "end a run that takes longer than this (SIGTERM, then SIGKILL)")
      ->type_name("SECONDS")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  AddLineOptions(&app, options);
  if (!ParseCommandLine(&app, argc, argv, status) || !CheckLineOptions(options, status)) {
    return false;
  }

  const int modes = (options->ports.empty() ? 0 : 1) + (options->allAdapters ? 1 : 0) +
                    (options->watchPattern.empty() ? 0 : 1) +
                    (options->serialNumbers.empty() ? 0 : 1);
  if (modes != 1) {
    std::fprintf(stderr,
                 "korvel-gang: give the ports, or --all, or --watch PATTERN, or --serial-number "
                 "SN... (one of them)\n"
                 "Run with --help for more information.\n");
    *status = kUsageError;
    return false;
  }
  // An argument korvel reads as STOP or HWPARM while a file of that name
  // exists would program nothing, or the parameters, on every device.
  ImageSelection selection;
  SelectImage(options->image.c_str(), &selection);
  const std::string commandWord = CommandWordFileWarning(options->image.c_str(), selection);
  if (!commandWord.empty()) {
    std::fprintf(stderr, "korvel-gang: not started: %s\n", commandWord.c_str());
    *status = kUsageError;
    return false;
  }
  std::set<std::string> seen;
  for (const std::string& port : options->ports) {
    if (!seen.insert(port).second) {
      std::fprintf(stderr, "korvel-gang: port %s given twice\n", Printable(port).c_str());
      *status = kUsageError;
      return false;
    }
  }
  return true;
}

// The ports of every recognised adapter, by the rule korvel itself uses.
bool RecognisedAdapterPorts(std::vector<std::string>* ports) {
  std::vector<InventoryEntry> inventory;
  if (!ReadPortInventory(&inventory)) {
    std::fprintf(stderr, "korvel-gang: cannot list the serial ports: %s\n", std::strerror(errno));
    return false;
  }
  for (const InventoryEntry& entry : inventory) {
    if (MatchKnownAdapter(entry.portName.c_str(), inventory))
      ports->push_back("/dev/" + entry.portName);
  }
  std::sort(ports->begin(), ports->end());
  ports->erase(std::unique(ports->begin(), ports->end()), ports->end());
  return true;
}

// Adds a run for |port| and starts it.
void AddRun(Gang* gang, const std::string& port, bool announce) {
  int appearance = 1;
  for (const GangRun& earlier : gang->runs) {
    if (earlier.port == port) ++appearance;
  }
  LaunchRun(gang, port, appearance);
  if (announce) std::printf("korvel-gang: flashing %s\n", Printable(port).c_str());
}

// One line for a run that ended, where no board shows it.
void PrintEnded(const GangRun& job, const GangOptions& options) {
  const std::string attempt =
      job.attempt > 1 ? " (attempt " + std::to_string(job.attempt) + ")" : "";
  std::printf("korvel-gang: %s%s: %s, status %s, %.1f s: %s\n", Printable(job.port).c_str(),
              attempt.c_str(), RunPhase(job).c_str(), StatusText(job).c_str(),
              RunSeconds(job, job.ended), ResultText(job, options).c_str());
}

bool IsRunning(const GangRun& job) {
  return job.outcome == RunOutcome::kRunning || !job.reaped;
}

std::vector<std::string> BusyPorts(const Gang& gang) {
  std::vector<std::string> busy;
  for (const GangRun& job : gang.runs) {
    if (IsRunning(job)) busy.push_back(job.port);
  }
  return busy;
}

// The signals the gang takes through its descriptor, blocked beforehand:
// the stop requests (SIGHUP too: a terminal that closes must not cost the
// reports), a child's end, a terminal's new size.
int OpenSignalDescriptor() {
  sigset_t signals;
  sigemptyset(&signals);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGCHLD, SIGWINCH}) sigaddset(&signals, sig);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  return signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
}

// Takes the signals that came in. Returns whether a child ended.
bool TakeSignals(int signalFd, Gang* gang, bool* redraw) {
  bool childEnded = false;
  signalfd_siginfo info{};
  while (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    if (info.ssi_signo == SIGCHLD) {
      childEnded = true;
    } else if (info.ssi_signo == SIGWINCH) {
      *redraw = true;
    } else {
      // A first Ctrl+C (or SIGTERM) starts no more runs and lets the
      // running ones finish: a half-programmed device is worse than a
      // wait. A second one ends them too.
      ++gang->stopRequests;
      *redraw = true;
      if (gang->stopRequests >= 2) {
        for (GangRun& job : gang->runs) EndRun(&job, false);
      }
    }
  }
  return childEnded;
}

}  // namespace

int main(int argc, char** argv) {
  // 1. The command line, the ports and the log folder.
  Gang gang;
  GangOptions& options = gang.options;
  if (int status = 0; !ParseGangCommandLine(argc, argv, &options, &status)) return status;
  if (options.allAdapters && !RecognisedAdapterPorts(&options.ports)) return kExitNotAllPassed;
  if (options.allAdapters && options.ports.empty()) {
    std::fprintf(stderr, "korvel-gang: no port of a recognised adapter found\n");
  }
  if (int status = 0; !PrepareLine(&gang, &status)) return status;
  options.korvel = KorvelBesideGang();

  // 2. Signals through a descriptor; a reader of our output that goes away
  // must not end the gang before its reports are written.
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  std::signal(SIGPIPE, SIG_IGN);
  const int signalFd = OpenSignalDescriptor();
  if (signalFd < 0) {
    std::perror("korvel-gang: signalfd");
    return kExitNotAllPassed;
  }
  // The page's threads come after the signals are blocked: they must never
  // take one that the descriptor waits for.
  if (int status = 0; !ServeBoard(&gang, &status)) return status;

  // 3. The runs: all ports at once, or the station's first look.
  gang.started = GangClock::now();
  gang.startedAt = std::time(nullptr);
  // The reports are on disk from the start (a station's before its first
  // device, with the page's address), then after every run.
  WriteReports(&gang, gang.started);
  Board board;
  BoardStart(&board);
  const bool station = !options.watchPattern.empty();
  if (station && !board.active) {
    std::printf("korvel-gang: watching %s; Ctrl+C ends\n", Printable(options.watchPattern).c_str());
  }
  for (const std::string& port : options.ports) AddRun(&gang, port, false);
  HandledPorts handled;
  GangClock::time_point nextScan = gang.started;

  // 4. Until every run has ended (and, for a station, a stop request came):
  // one poll over the signals and every run's pipes, bounded by the next
  // thing due (a look for ports, a time limit, a drawing).
  bool redraw = true;
  for (;;) {
    GangClock::time_point now = GangClock::now();
    if (station && gang.stopRequests == 0 && now >= nextScan) {
      for (const PortSighting& sighting :
           NewAppearances(ScanPorts(options.watchPattern), BusyPorts(gang), &handled)) {
        AddRun(&gang, sighting.path, !board.active);
        redraw = true;
      }
      nextScan = now + kScanInterval;
    }
    GangClock::time_point due = std::min(now + kBoardTick, StartDueRetries(&gang, now));
    if (station && gang.stopRequests == 0) due = std::min(due, nextScan);
    bool anyRunning = false;
    for (GangRun& job : gang.runs) {
      if (!IsRunning(job)) continue;
      anyRunning = true;
      if (!job.termSent && now >= job.deadline) {
        EndRun(&job, true);
        redraw = true;
      }
      KillIfLingering(&job, now);
      due = std::min(due, job.termSent ? job.killAt : job.deadline);
    }
    if (!anyRunning && gang.retries.empty() && (!station || gang.stopRequests > 0)) break;

    if (board.active) {
      const bool drawNow =
          (redraw && now - board.lastDraw >= kBoardInterval) || now - board.lastDraw >= kBoardTick;
      if (drawNow) {
        BoardDraw(&board, gang, now);
        redraw = false;
      }
      due = std::min(due, board.lastDraw + (redraw ? GangClock::duration(kBoardInterval)
                                                   : GangClock::duration(kBoardTick)));
    }

    std::vector<pollfd> fds = {{signalFd, POLLIN, 0}};
    std::vector<size_t> owners = {gang.runs.size()};  // the run each descriptor belongs to
    for (size_t i = 0; i < gang.runs.size(); ++i) {
      for (int fd : {gang.runs[i].outFd, gang.runs[i].channelFd}) {
        if (fd < 0) continue;
        fds.push_back({fd, POLLIN, 0});
        owners.push_back(i);
      }
    }
    const auto wait = std::chrono::ceil<milliseconds>(std::max(due - now, GangClock::duration(0)));
    const int waitMs = static_cast<int>(std::min<long long>(wait.count(), 1000));
    if (poll(fds.data(), fds.size(), waitMs) < 0 && errno != EINTR) {
      std::perror("korvel-gang: poll");
      for (GangRun& job : gang.runs) EndRun(&job, false);
    }

    bool childEnded = false;
    if (fds[0].revents != 0) childEnded = TakeSignals(signalFd, &gang, &redraw);
    for (size_t k = 1; k < fds.size(); ++k) {
      if (fds[k].revents == 0) continue;
      ReadRunOutput(&gang.runs[owners[k]]);
      redraw = true;
    }
    if (childEnded) {
      for (GangRun& job : gang.runs) {
        if (IsRunning(job) && ReapRun(&job)) redraw = true;
      }
    }
    // A run that could not start, or one that ended: a line where no board
    // shows it.
    for (size_t i = 0; i < gang.runs.size(); ++i) {
      GangRun& job = gang.runs[i];
      if (job.endShown || IsRunning(job)) continue;
      job.endShown = true;
      if (!board.active) PrintEnded(job, options);
      RunEnded(&gang, i, GangClock::now());
    }
    PublishBoard(&gang, GangClock::now(), false);
  }

  // 5. The board gives way to the summary; then the reports.
  const GangClock::time_point end = GangClock::now();
  BoardEnd(&board);
  std::fputs(SummaryText(gang, TerminalColumns()).c_str(), stdout);
  std::fflush(stdout);
  const bool written = WriteReports(&gang, end);
  EndLine(&gang);
  close(signalFd);

  const DeviceCounts counts = CountDevices(gang);
  const bool allPassed = counts.passed == counts.devices;
  return allPassed && written && (station || !gang.runs.empty()) ? kExitAllPassed
                                                                 : kExitNotAllPassed;
}
