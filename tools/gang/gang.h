// korvel-gang: one korvel run per port at once, each a child process of the
// korvel beside the gang, with a live board, per-port logs, a summary and
// machine-readable reports. The plain records that every part shares, and
// the operations of each part (process running, board, reports, watch).
// Linux only, like the simulated device.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "common/run_state.h"

using GangClock = std::chrono::steady_clock;

// How a run ended, or that it still runs.
enum class RunOutcome { kRunning, kPassed, kFailed, kTimedOut, kStopped, kNotStarted };

// One korvel run on one port.
struct GangRun {
  std::string port;
  int appearance = 1;   // station mode: the how-manieth time the port appeared
  std::string logPath;  // korvel's standard output, whole

  // The child and the gang's ends of its pipes; -1 once closed.
  pid_t pid = -1;
  int outFd = -1;      // korvel's standard output
  int channelFd = -1;  // korvel's progress channel (KORVEL_PROGRESS_FD)
  int logFd = -1;
  bool reaped = false;

  // What korvel printed: whole lines, and the start of one still coming.
  std::vector<std::string> lines;
  std::string partialLine;
  std::string partialChannel;
  // The last channel line, once one came: the erase is over.
  bool programming = false;
  ProgressState progress{};

  GangClock::time_point started{};
  GangClock::time_point ended{};
  std::time_t startedAt = 0;  // wall clock, for the reports
  // Ending a run: SIGTERM at |deadline| (the time limit) or on a second
  // stop request, SIGKILL at |killAt| if it is still there.
  GangClock::time_point deadline{};
  bool termSent = false;
  GangClock::time_point killAt{};

  RunOutcome outcome = RunOutcome::kRunning;
  int exitStatus = -1;  // as the shell reads it (korvel's -1 is 255)
  int termSignal = 0;   // the signal that ended it, if one did
  std::string startError;
  bool endShown = false;  // the gang has shown that it ended
};

// What the command line asked for.
struct GangOptions {
  std::string image;       // korvel's second argument
  std::string activation;  // korvel's third argument, or empty
  std::vector<std::string> ports;
  bool allAdapters = false;
  std::string watchPattern;  // station mode when not empty
  std::string logDir = "korvel-gang-logs";
  std::string jsonPath;
  std::string junitPath;
  double timeLimitSeconds = 600;
  std::string korvel;  // the korvel beside the gang
};

// The whole gang: its options, its runs in the order they started.
struct Gang {
  GangOptions options;
  std::vector<GangRun> runs;
  GangClock::time_point started{};
  std::time_t startedAt = 0;
  int stopRequests = 0;  // SIGINT, SIGTERM or SIGHUP received
};

// --- Process running (process.cpp) ------------------------------------------

// Starts korvel on |job.port| with the gang's image and activation
// arguments: standard input from /dev/null, standard output into a pipe
// (and on into |job.logPath|), standard error to /dev/null, the progress
// channel on descriptor 3, a process group of its own (a Ctrl+C on the
// terminal is the gang's to handle). A run that can't be started ends at
// once as kNotStarted with the reason in |startError|.
void StartRun(const GangOptions& options, GangRun* job);

// Moves what korvel wrote (standard output, channel) into the run: the log
// file, the lines, the progress. Never waits.
void ReadRunOutput(GangRun* job);

// Reaps the run's child if it has ended, takes the rest of its output,
// closes its pipes and log and sets the outcome. Returns whether it ended.
bool ReapRun(GangRun* job);

// Ends a run that is over its time (|timedOut|) or that a second stop
// request ends: SIGTERM now, SIGKILL in two seconds if it is still there.
void EndRun(GangRun* job, bool timedOut);

// Sends SIGKILL to a run whose SIGTERM is two seconds old.
void KillIfLingering(GangRun* job, GangClock::time_point now);

// The korvel in the folder of the running gang.
std::string KorvelBesideGang();

// The log file name for |port| and its |appearance|: the path with its
// "/dev/" taken off and the other slashes made "_", ".log" (".<n>.log" from
// the second appearance on).
std::string LogFileName(const std::string& port, int appearance);

// --- Board (board.cpp) -------------------------------------------------------

// What a run is doing, from korvel's lines and channel: "starting",
// "waking", "erasing", "programming", "resetting", or how it ended
// ("passed", "FAILED", "TIMED OUT", "stopped", "not started").
std::string RunPhase(const GangRun& job);

// |text| with every byte that is not printable ASCII shown as '?': what a
// terminal or a table gets of names and lines that may hold anything (a
// firmware's version text, a file name that matched a pattern).
std::string Printable(std::string_view text);

// The last line korvel printed that is not empty, or the reason a run could
// not start; as it is (for the reports, which escape it), and made
// Printable (for the terminal and the summary).
std::string LastResultLineRaw(const GangRun& job);
std::string LastResultLine(const GangRun& job);

// The board's rows for a terminal |columns| wide and |rows| high: a head
// line with the counts, then one row per run (port, phase, seconds, then
// progress bar or result line), each cut to |columns| - 1 characters so
// that none wraps. When the runs don't fit, the running ones and the
// latest come first and a last row counts the rest.
std::vector<std::string> BoardRows(const Gang& gang, GangClock::time_point now, int columns,
                                   int rows);

// The board on a terminal, redrawn in place.
struct Board {
  bool active = false;
  int drawnRows = 0;
  GangClock::time_point lastDraw{};
};

// Starts the board when standard output is a terminal.
void BoardStart(Board* board);

// Redraws it: back to its first row, every row written over and cleared to
// its end, in one write, so it does not flicker.
void BoardDraw(Board* board, const Gang& gang, GangClock::time_point now);

// Takes the board off the screen, leaving the cursor where it began.
void BoardEnd(Board* board);

// --- Reports (reports.cpp) ----------------------------------------------------

// Seconds a run took (so far).
double RunSeconds(const GangRun& job, GangClock::time_point now);

// The exit status column: the number, or "timeout", "stopped", "signal N",
// "not started".
std::string StatusText(const GangRun& job);

// The summary table: port, last result line, exit status, seconds; a line
// per run, and a closing line with the counts and the ports that failed.
std::string SummaryText(const Gang& gang);

// The JSON report (see docs/korvel-gang.1), as text.
std::string JsonReport(const Gang& gang, GangClock::time_point now);

// The JUnit XML report: one test case per run, a failure for a run that
// ended with a status other than 0, an error for one that timed out, was
// stopped or did not start, korvel's output as its system-out.
std::string JunitReport(const Gang& gang, GangClock::time_point now);

// |text| for XML character data or an attribute: &, <, >, " and ' as
// entities; bytes that are not valid UTF-8 and characters XML 1.0 does not
// allow (controls other than tab, line feed, carriage return) as U+FFFD.
std::string XmlEscape(std::string_view text);

// Writes |text| to |path|; false with a message on standard error when it
// can't.
bool WriteTextFile(const std::string& path, const std::string& text);

// --- Watch (watch.cpp) -------------------------------------------------------

// A port that matches the station's pattern, and which appearance of it
// this is: the device and inode of the path itself (a link that is made
// anew is another appearance, even between two looks).
struct PortSighting {
  std::string path;
  dev_t device = 0;
  ino_t inode = 0;
};

// The paths that match |pattern| now and are character devices (through
// their links), in name order.
std::vector<PortSighting> ScanPorts(const std::string& pattern);

// What the station has handled: each present port's appearance that was
// flashed, by path.
using HandledPorts = std::map<std::string, PortSighting>;

// The sightings of |present| that are new appearances (never flashed, or
// made anew since) and have no run going (|busy|); forgets the ports that
// are no longer present, so that their next appearance counts as new, and
// marks the returned ones as handled.
std::vector<PortSighting> NewAppearances(const std::vector<PortSighting>& present,
                                         const std::vector<std::string>& busy,
                                         HandledPorts* handled);
