// korvel-gang: one korvel run per port at once, each a child process of the
// korvel beside the gang, with a live board, per-port logs, a summary and
// machine-readable reports. The plain records that every part shares, and
// the operations of each part (process running, board, reports, watch).
// The same on Linux and Windows: what differs lives beneath, in the child
// process layer (tools/child) and the terminal and port primitives.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "common/run_state.h"
#include "tools/child/child_process.h"

using GangClock = std::chrono::steady_clock;

// How a run ended, or that it still runs.
enum class RunOutcome { kRunning, kPassed, kFailed, kTimedOut, kStopped, kNotStarted };

// One korvel run on one port.
struct GangRun {
  std::string port;
  int appearance = 1;   // station mode: the how-manieth time the port appeared
  std::string logPath;  // korvel's standard output, whole

  // The korvel child and the gang's ends of its pipes: its standard output
  // and its progress channel (KORVEL_PROGRESS_FD).
  Child child;
  std::FILE* log = nullptr;  // nullptr once closed
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
  // Ending a run: asked to end at |deadline| (the time limit) or on a
  // second stop request, killed at |killAt| if it is still there.
  GangClock::time_point deadline{};
  bool termSent = false;
  GangClock::time_point killAt{};

  RunOutcome outcome = RunOutcome::kRunning;
  int exitStatus = -1;  // as the shell reads it (korvel's -1 is 255)
  int termSignal = 0;   // POSIX: the signal that ended it, if one did
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
  // SIGINT, SIGTERM or SIGHUP received; on Windows Ctrl+C, Ctrl+Break, or
  // two for a closing console
  int stopRequests = 0;
};

// --- Process running (process.cpp) ------------------------------------------

// Starts korvel on |job.port| with the gang's image and activation
// arguments (StartChild): standard output into a pipe (and on into
// |job.logPath|), the progress channel named in KORVEL_PROGRESS_FD, out of
// reach of the terminal's Ctrl+C (the gang's to handle). A run that can't
// be started ends at once as kNotStarted with the reason in |startError|.
void StartRun(const GangOptions& options, GangRun* job);

// Moves what korvel wrote (standard output, channel) into the run: the log
// file, the lines, the progress. Never waits.
void ReadRunOutput(GangRun* job);

// Reaps the run's child if it has ended, takes the rest of its output,
// closes its pipes and log and sets the outcome. Returns whether it ended.
bool ReapRun(GangRun* job);

// Ends a run that is over its time (|timedOut|) or that a second stop
// request ends: asks it to end now (AskChildToEnd), and kills it in two
// seconds if it is still there, or at once where it can't be asked.
void EndRun(GangRun* job, bool timedOut);

// Kills a run that was asked to end two seconds ago.
void KillIfLingering(GangRun* job, GangClock::time_point now);

// The log file name for |port| and its |appearance|: the port with its
// "/dev/" or "\\.\" taken off and the other slashes, backslashes and
// colons made "_", ".log" (".<n>.log" from the second appearance on). A
// name that Windows keeps for a device (COM1 to COM9, LPT1 to LPT9, CON,
// PRN, AUX, NUL, whatever follows a dot) gets a "_" after it: such a file
// would be the device.
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

// For a console that can't redraw in place: a row (as BoardRows has it)
// for each run whose phase is not the one |shownPhases| holds for it, cut
// to |columns| - 1 characters; |shownPhases| then holds every run's phase.
std::vector<std::string> BoardChangeLines(const Gang& gang, GangClock::time_point now, int columns,
                                          std::vector<std::string>* shownPhases);

// The board on a terminal: redrawn in place where the terminal takes escape
// sequences, a line per change where it doesn't (an older Windows console).
struct Board {
  bool active = false;   // standard output is a terminal
  bool redrawn = false;  // and it redraws in place
  int drawnRows = 0;
  GangClock::time_point lastDraw{};
  std::vector<std::string> shownPhases;  // plain lines: each run's last shown
};

// Starts the board when standard output is a terminal.
void BoardStart(Board* board);

// Redraws it: back to its first row, every row written over and cleared to
// its end, in one write, so it does not flicker. On a console that can't,
// prints the rows of the runs whose phase changed.
void BoardDraw(Board* board, const Gang& gang, GangClock::time_point now);

// Takes the board off the screen, leaving the cursor where it began, and
// the terminal as it was.
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
// this is: on POSIX the device and inode of the path itself (a link that
// is made anew is another appearance, even between two looks); on Windows
// the device that the COM name stands for.
struct PortSighting {
  std::string path;
  std::string identity;
};

// The ports that match |pattern| now, in name order (watch_posix.cpp,
// watch_win32.cpp): on POSIX the paths that glob finds and that are
// character devices (through their links); on Windows the COM ports among
// the system's device names (QueryDosDevice) whose names match it, a '*'
// for any characters and a '?' for one, without regard to case.
std::vector<PortSighting> ScanPorts(const std::string& pattern);

// Whether |name| matches |pattern| as ScanPorts matches COM names on
// Windows.
bool NameMatches(std::string_view pattern, std::string_view name);

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
