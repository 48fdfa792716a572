// korvel-gang: flashes many devices at once, one korvel run per port, or a
// station that flashes every port matching a pattern as it appears.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "common/system.h"
#include "image/image_notes.h"
#include "image/image_source.h"
#include "serial/adapter.h"
#include "tools/child/child_wait.h"
#include "tools/command_line.h"
#include "tools/gang/gang.h"
#include "tools/gang/terminal.h"

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
      "station mode: flash each port matching PATTERN (e.g. '/dev/serial/by-id/*', on Windows "
      "'COM*') when it appears, until Ctrl+C");
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
                 "end a run that takes longer than this (asked to end, then killed)")
      ->type_name("SECONDS")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  AddLineOptions(&app, options);
  return ParseCommandLine(&app, argc, argv, status) && CheckLineOptions(options, status);
}

// True when the options go together; false with a usage error otherwise:
// not one way to name the ports, an image argument that korvel would read
// as a command word, a port named twice.
bool ValidateGangOptions(const GangOptions& options, int* status) {
  const int modes = (options.ports.empty() ? 0 : 1) + (options.allAdapters ? 1 : 0) +
                    (options.watchPattern.empty() ? 0 : 1) +
                    (options.serialNumbers.empty() ? 0 : 1);
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
  SelectImage(options.image.c_str(), &selection);
  const std::string commandWord = CommandWordFileWarning(options.image.c_str(), selection);
  if (!commandWord.empty()) {
    std::fprintf(stderr, "korvel-gang: not started: %s\n", commandWord.c_str());
    *status = kUsageError;
    return false;
  }
  std::set<std::string> seen;
  for (const std::string& port : options.ports) {
    if (!seen.insert(port).second) {
      std::fprintf(stderr, "korvel-gang: port %s given twice\n", AsciiPrintable(port).c_str());
      *status = kUsageError;
      return false;
    }
  }
  return true;
}

// The ports of every recognised adapter, by the rule korvel itself uses, by
// the names that open them.
bool RecognisedAdapterPorts(std::vector<std::string>* ports) {
  std::vector<InventoryEntry> inventory;
  if (!ReadPortInventory(&inventory)) {
    std::fprintf(stderr, "korvel-gang: cannot list the serial ports (%lu)\n", LastSystemError());
    return false;
  }
  for (const InventoryEntry& entry : inventory) {
    if (MatchKnownAdapter(entry.portName.c_str(), inventory)) ports->push_back(entry.devicePath);
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
  if (announce) std::printf("korvel-gang: flashing %s\n", AsciiPrintable(port).c_str());
}

// One line for a run that ended, where no board shows it.
void PrintEnded(const GangRun& job, const GangOptions& options) {
  const std::string attempt =
      job.attempt > 1 ? " (attempt " + std::to_string(job.attempt) + ")" : "";
  std::printf("korvel-gang: %s%s: %s, status %s, %.1f s: %s\n", AsciiPrintable(job.port).c_str(),
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

// What the wait loop keeps between its turns.
struct GangLoop {
  Gang gang;
  Board board;
  ChildWaiter waiter;
  HandledPorts handled;  // station mode: the appearances flashed
  GangClock::time_point nextScan{};
  bool redraw = true;  // something changed since the last drawing
};

bool IsStation(const GangLoop& loop) {
  return !loop.gang.options.watchPattern.empty();
}

// 1. The command line, the ports, the image and the line's records (before
// any port is touched: see PrepareLine), the korvel to run. False with the
// exit status in |status| when the gang ends here.
bool Prepare(int argc, char** argv, Gang* gang, int* status) {
  GangOptions* options = &gang->options;
  if (!ParseGangCommandLine(argc, argv, options, status)) return false;
  if (!ValidateGangOptions(*options, status)) return false;
  *status = kExitNotAllPassed;
  if (options->allAdapters && !RecognisedAdapterPorts(&options->ports)) return false;
  if (options->allAdapters && options->ports.empty()) {
    std::fprintf(stderr, "korvel-gang: no port of a recognised adapter found\n");
  }
  if (!PrepareLine(gang, status)) return false;
  options->korvel = ProgramBesideSelf("korvel");
  return true;
}

// 2. Stop requests and children's ends as events, the board, and the runs:
// all ports at once, or the station's first look to come.
bool Start(GangLoop* loop) {
  std::string error;
  if (!OpenChildWaiter(&loop->waiter, &error)) {
    std::fprintf(stderr, "korvel-gang: %s\n", error.c_str());
    return false;
  }
  Gang& gang = loop->gang;
  // The page's threads come after the waiter: on Linux they must never
  // take a signal that the waiter's descriptor waits for.
  if (int status = 0; !ServeBoard(&gang, &status)) return false;
  gang.started = GangClock::now();
  gang.startedAt = std::time(nullptr);
  // The reports are on disk from the start (a station's before its first
  // device, with the page's address), then after every run.
  WriteReports(&gang, gang.started);
  BoardStart(&loop->board);
  if (IsStation(*loop) && !loop->board.active) {
    std::printf("korvel-gang: watching %s; Ctrl+C ends\n",
                AsciiPrintable(gang.options.watchPattern).c_str());
  }
  for (const std::string& port : gang.options.ports) AddRun(&gang, port, false);
  loop->nextScan = gang.started;
  return true;
}

// The station's look for new appearances, when one is due.
void LookForPorts(GangLoop* loop, GangClock::time_point now) {
  Gang& gang = loop->gang;
  if (!IsStation(*loop) || gang.stopRequests > 0 || now < loop->nextScan) return;
  for (const PortSighting& sighting :
       NewAppearances(ScanPorts(gang.options.watchPattern), BusyPorts(gang), &loop->handled)) {
    AddRun(&gang, sighting.path, !loop->board.active);
    loop->redraw = true;
  }
  loop->nextScan = now + kScanInterval;
}

// Ends the runs over their time and kills those that linger; brings |due|
// forward to the next such moment. Returns whether any run is going.
bool KeepTime(GangLoop* loop, GangClock::time_point now, GangClock::time_point* due) {
  bool anyRunning = false;
  for (GangRun& job : loop->gang.runs) {
    if (!IsRunning(job)) continue;
    anyRunning = true;
    if (!job.termSent && now >= job.deadline) {
      EndRun(&job, true);
      loop->redraw = true;
    }
    KillIfLingering(&job, now);
    *due = std::min(*due, job.termSent ? job.killAt : job.deadline);
  }
  return anyRunning;
}

// Draws the board when a change or its clock calls for it; brings |due|
// forward to its next drawing.
void DrawWhenDue(GangLoop* loop, GangClock::time_point now, GangClock::time_point* due) {
  Board& board = loop->board;
  if (!board.active) return;
  const auto since = now - board.lastDraw;
  if ((loop->redraw && since >= kBoardInterval) || since >= kBoardTick) {
    BoardDraw(&board, loop->gang, now);
    loop->redraw = false;
  }
  *due = std::min(*due, board.lastDraw + (loop->redraw ? GangClock::duration(kBoardInterval)
                                                       : GangClock::duration(kBoardTick)));
}

// Takes what the wait found: stop requests (a second one ends every run),
// output, children that ended.
void TakeEvents(GangLoop* loop, const WaitEvents& events, const std::vector<GangRun*>& owners,
                const std::vector<bool>& ready) {
  Gang& gang = loop->gang;
  if (!events.failure.empty()) {
    std::fprintf(stderr, "korvel-gang: %s\n", events.failure.c_str());
    for (GangRun& job : gang.runs) EndRun(&job, false);
  }
  loop->redraw = loop->redraw || events.resized || events.stopRequests > 0;
  // A first Ctrl+C (or SIGTERM) starts no more runs and lets the running
  // ones finish: a half-programmed device is worse than a wait. A second
  // one ends them too.
  gang.stopRequests += events.stopRequests;
  if (events.stopRequests > 0 && gang.stopRequests >= 2) {
    for (GangRun& job : gang.runs) EndRun(&job, false);
  }
  for (size_t k = 0; k < owners.size(); ++k) {
    if (!ready[k]) continue;
    ReadRunOutput(owners[k]);
    loop->redraw = true;
  }
  for (size_t i = 0; i < gang.runs.size(); ++i) {
    GangRun& job = gang.runs[i];
    if (events.childEnded && IsRunning(job) && ReapRun(&job)) loop->redraw = true;
    // A run that could not start, or one that ended: a line where no board
    // shows it; its retry, the reports and the page.
    if (job.endShown || IsRunning(job)) continue;
    job.endShown = true;
    if (!loop->board.active) PrintEnded(job, gang.options);
    RunEnded(&gang, i, GangClock::now());
  }
  PublishBoard(&gang, GangClock::now(), false);
}

// One wait over every run's pipes, bounded by |due|, and what it found.
void WaitOnce(GangLoop* loop, GangClock::time_point now, GangClock::time_point due) {
  std::vector<const ChildPipe*> pipes;
  std::vector<GangRun*> owners;  // the run each pipe belongs to
  for (GangRun& job : loop->gang.runs) {
    for (const ChildPipe* pipe : {&job.child.output, &job.child.channel}) {
      if (!ChildPipeOpen(*pipe)) continue;
      pipes.push_back(pipe);
      owners.push_back(&job);
    }
  }
  const auto wait = std::chrono::ceil<milliseconds>(std::max(due - now, GangClock::duration(0)));
  std::vector<bool> ready;
  const WaitEvents events =
      WaitForChildren(&loop->waiter, pipes, std::min(wait, milliseconds(1000)), &ready);
  TakeEvents(loop, events, owners, ready);
}

// 3. Until every run has ended (and, for a station, a stop request came):
// one wait over the events and every run's pipes, bounded by the next
// thing due (a look for ports, a time limit, a drawing).
void WaitForRuns(GangLoop* loop) {
  for (;;) {
    const GangClock::time_point now = GangClock::now();
    LookForPorts(loop, now);
    GangClock::time_point due = std::min(now + kBoardTick, StartDueRetries(&loop->gang, now));
    if (IsStation(*loop) && loop->gang.stopRequests == 0) due = std::min(due, loop->nextScan);
    const bool anyRunning = KeepTime(loop, now, &due) || !loop->gang.retries.empty();
    if (!anyRunning && (!IsStation(*loop) || loop->gang.stopRequests > 0)) return;
    DrawWhenDue(loop, now, &due);
    WaitOnce(loop, now, due);
  }
}

// 4. The board gives way to the summary; then the reports. Returns the
// exit status.
int Report(GangLoop* loop) {
  Gang& gang = loop->gang;
  const GangClock::time_point end = GangClock::now();
  // The summary fits the terminal the board was on.
  int columns = 0, rows = 0;
  if (loop->board.active) TerminalSize(80, 24, &columns, &rows);
  BoardEnd(&loop->board);
  std::fputs(SummaryText(gang, columns).c_str(), stdout);
  std::fflush(stdout);
  const bool written = WriteReports(&gang, end);
  EndLine(&gang);
  const DeviceCounts counts = CountDevices(gang);
  const bool allPassed = counts.passed == counts.devices;
  return allPassed && written && (IsStation(*loop) || !gang.runs.empty()) ? kExitAllPassed
                                                                          : kExitNotAllPassed;
}

}  // namespace

int main(int argc, char** argv) {
  GangLoop loop;
  if (int status = 0; !Prepare(argc, argv, &loop.gang, &status)) return status;
  SetUpGangOutput();
  if (!Start(&loop)) return kExitNotAllPassed;
  WaitForRuns(&loop);
  const int status = Report(&loop);
  CloseChildWaiter(&loop.waiter);
  return status;
}
