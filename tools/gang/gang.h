// korvel-gang: one korvel run per port at once, each a child process of the
// korvel beside the gang, with a live board, per-port logs, a summary and
// machine-readable reports. The plain records that every part shares, and
// the operations of each part (process running, board, reports, watch, and
// the line's records: devices, retries, the page, metrics, the counter).
// The same on Linux and Windows: what differs lives beneath, in the child
// process layer (tools/child) and the terminal, port, file and crypto
// primitives.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/run_state.h"
#include "serial/adapter.h"
#include "tools/child/child_process.h"
#include "tools/gang/sequence.h"

namespace CLI {
class App;
}

using GangClock = std::chrono::steady_clock;

// How a run ended, or that it still runs.
enum class RunOutcome { kRunning, kPassed, kFailed, kTimedOut, kStopped, kNotStarted };

// One korvel run on one port.
struct GangRun {
  std::string port;
  int appearance = 1;    // station mode: the how-manieth time the port appeared
  int attempt = 1;       // 2 and on: a retry of the same device (--retries)
  bool retried = false;  // a later attempt took this one's place
  // The indices in Gang::runs of the device's first attempt and of the
  // attempt this one follows (kNoRun for a first attempt).
  size_t firstAttempt = 0;
  size_t previousAttempt = static_cast<size_t>(-1);
  std::string logPath;  // korvel's standard output, whole

  // The adapter as the inventory knows it when the run starts: its USB
  // serial number and "vendor:product" ids; "" when it does not know.
  std::string serialNumber;
  std::string usbIds;
  // What tells the port apart from the others (see PortLabel); "" for the
  // port itself.
  std::string label;
  // korvel's image argument for this run (HWPARM<PP><n> with a counter),
  // the SHA-256 of the bytes it programs, and the counter's number (-1:
  // none).
  std::string imageArgument;
  std::string imageSha256;
  int64_t sequenceNumber = -1;

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
  std::string korvel;                      // the korvel beside the gang
  std::vector<std::string> serialNumbers;  // --serial-number: the ports by adapter
  int retries = 0;
  std::string http;         // --http [ADDR:]PORT, or empty
  std::string metricsPath;  // --metrics FILE
  std::string sequence;     // --hwparm-sequence PP:FILE
};

// What the gang found in the image argument before any port was touched.
struct ImageCheck {
  bool file = false;    // a file is programmed (not STOP, not HWPARM)
  std::string version;  // the firmware's version text, if it is firmware
  std::string sha256;   // of the file's bytes, in small hexadecimal letters
};

struct BoardServer;  // the page's server (http.cpp): its thread and socket

// A retry waiting for its pause to end.
struct PendingRetry {
  size_t failedRun = 0;  // the index of the attempt it follows
  GangClock::time_point due{};
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
  std::string batchDir;  // this gang's own log folder, under options.logDir
  ImageCheck image;
  SequenceCounter counter;
  std::vector<PendingRetry> retries;
  std::shared_ptr<BoardServer> server;
  std::vector<InventoryEntry> inventory;  // as read when the gang (or a run) started
  GangClock::time_point lastPublished{};
  bool reportsFailed = false;  // a report could not be written at least once
};

// --- Process running (process.cpp) ------------------------------------------

// Starts korvel on |job.port| with the run's image argument and the gang's
// activation argument (StartChild): standard output into a pipe (and on into
// |job.logPath|), the progress channel named in KORVEL_PROGRESS_FD, out of
// reach of the terminal's Ctrl+C (the gang's to handle). A run that can't
// be started, or was refused before (its |startError| is set already), ends
// at once as kNotStarted with the reason in |startError|.
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

// --- Outcomes in words (outcome.cpp) ----------------------------------------

// Where a run's outcome is shown: the reports' name ("passed", "failed",
// "timed out", "stopped", "not started", "running"), the board's ("FAILED",
// "TIMED OUT" in capitals), the status column's ("timeout", "stopped", "not
// started"; "" for the runs whose exit status stands there).
enum class OutcomeStyle { kReport, kBoard, kStatus };

// The one table of those words.
std::string OutcomeText(RunOutcome outcome, OutcomeStyle style);

// What a run is doing, or was doing when it ended, from korvel's lines and
// channel: "starting", "waking", "erasing", "programming", "resetting".
std::string RunActivity(const GangRun& job);

// The board's phase: the activity while it runs, then the outcome.
std::string RunPhase(const GangRun& job);

// Where a run stopped: its activity, the step of korvel's innermost failure
// report ("" without one) and its error code, and the block under way
// (from 1; 0 when it was not programming) of the image's blocks.
struct RunStop {
  std::string activity;
  std::string step;
  unsigned long errorCode = 0;
  uint32_t block = 0;
  uint32_t blocks = 0;
};
RunStop StopOf(const GangRun& job);

// Why a run did not pass, in plain words: korvel's own explanation of a
// failed run (KorvelExplanation), or the gang's of a run it ended or could
// not start. "" for a run that passed or still runs.
std::string RunReason(const GangRun& job, const GangOptions& options);

// What the result column shows: korvel's last line while it runs and
// after a pass, the reason's first sentence otherwise (what failed, and
// where); fit to print.
std::string ResultText(const GangRun& job, const GangOptions& options);

// The plain-words explanation korvel gives for a failed run, from its
// output and arguments (explanation.cpp).
std::string KorvelExplanation(const GangRun& job);

// --- Board (board.cpp) -------------------------------------------------------

// |text| with every byte that is not printable ASCII shown as '?': what a
// terminal or a table gets of names and lines that may hold anything (a
// firmware's version text, a file name that matched a pattern). ASCII
// alone, unlike PrintableText (common/), which keeps UTF-8: the board's and
// the summary's columns are measured and cut in bytes, one byte a column,
// and a console's code page need not be UTF-8.
std::string AsciiPrintable(std::string_view text);

// The last line korvel printed that is not empty, or the reason a run could
// not start; as it is (for the reports, which escape it), and made
// AsciiPrintable (for the terminal and the summary).
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

// |time| in UTC, ISO 8601: "2024-05-01T10:00:00Z", or without the zone
// letter as JUnit's timestamp has it.
std::string UtcTimeText(std::time_t time, bool zoneLetter);

// A device is an appearance of a port; its attempts are the runs of that
// appearance (retries). The indices of each device's last attempt, in the
// order the devices came; of every attempt of the device whose last
// attempt is |final|, first to last.
std::vector<size_t> FinalRuns(const Gang& gang);
std::vector<size_t> AttemptsOf(const Gang& gang, size_t final);

// The devices the gang is done with: the last attempts (FinalRuns) that
// ended and wait for no retry.
std::vector<size_t> DoneRuns(const Gang& gang);

// Seconds from a device's first attempt's start to its last one's end
// (or |now| while it runs).
double DeviceSeconds(const Gang& gang, size_t final, GangClock::time_point now);

// The devices by the state of their last attempt: one that waits for a
// retry is running; failures ended by themselves with a status other than
// 0, errors timed out, were stopped or never started.
struct DeviceCounts {
  int devices = 0;
  int running = 0;
  int passed = 0;
  int failures = 0;
  int errors = 0;
};
DeviceCounts CountDevices(const Gang& gang);

// The JSON report (see docs/korvel-gang.1), as text: one result per device.
std::string JsonReport(const Gang& gang, GangClock::time_point now);

// What the page shows, as JSON: the counts and each device's result as in
// the report, without korvel's output.
std::string BoardJson(const Gang& gang, GangClock::time_point now);

// The JUnit XML report: one test case per device that is done, a failure
// for one whose last attempt ended with a status other than 0, an error for
// one that timed out, was stopped or did not start, the reason as its
// message, the adapter and image as properties, korvel's output of every
// attempt as its system-out.
std::string JunitReport(const Gang& gang, GangClock::time_point now);

// |text| for XML character data or an attribute: &, <, >, " and ' as
// entities; bytes that are not valid UTF-8 and characters XML 1.0 does not
// allow (controls other than tab, line feed, carriage return) as U+FFFD.
std::string XmlEscape(std::string_view text);

// --- Summary and labels (summary.cpp) -------------------------------------------

// |text| cut to |width| characters, "..." in front of (CutFront) or after
// (CutEnd) what is kept.
std::string CutFront(const std::string& text, size_t width);
std::string CutEnd(const std::string& text, size_t width);

// |text| with blanks after it up to |width| characters.
std::string Padded(std::string text, size_t width);

// What tells |job|'s port apart from the others, fit to print: its
// adapter's serial number where the inventory knows it (with the port's
// own name where a multi-port adapter gives several ports one number),
// else the port.
std::string PortLabel(const GangRun& job);

// The summary table: port (its label), USB ids (when known), result,
// attempts (with --retries), exit status, seconds; a line per device, and
// a closing line with the counts and each appearance that did not pass.
// Fitted to |columns| (0: as wide as the contents).
std::string SummaryText(const Gang& gang, int columns);

// --- Metrics (metrics.cpp) ------------------------------------------------------

// The Prometheus text format for the textfile collectors: devices by
// result, attempts, seconds per device.
std::string MetricsText(const Gang& gang, GangClock::time_point now);

// --- The line's session (session.cpp, image_check.cpp, sequence.cpp,
// retries.cpp) ---------------------------------------------------------------------

// Adds --serial-number, --retries, --http, --metrics and --hwparm-sequence.
void AddLineOptions(CLI::App* app, GangOptions* options);

// After the command line: the counter's option and the page's address
// read, the image argument moved to the ports when the counter gives it.
// False with a message and |status| for a command line that can't work.
bool CheckLineOptions(GangOptions* options, int* status);

// Before any port is touched: the image checked, the serial numbers'
// ports found, the counter locked, this batch's log folder made. False with
// a message and |status| when the gang must not start.
bool PrepareLine(Gang* gang, int* status);

// Serves the page when --http asks for it (after the signals are blocked:
// the server's threads inherit that). False with a message and |status|
// when its address can't be had.
bool ServeBoard(Gang* gang, int* status);

// Adds a run of |port| and starts it: its log in the batch folder, its
// adapter, its image argument (the counter's next number, durable first).
// A retry names the index of the attempt it follows in |previous|.
void LaunchRun(Gang* gang, const std::string& port, int appearance,
               size_t previous = static_cast<size_t>(-1));

// After the run at |runIndex| ended: its retry planned, the reports and the
// page brought up to date.
void RunEnded(Gang* gang, size_t runIndex, GangClock::time_point now);

// Writes the JSON, JUnit and metrics files asked for, each replaced whole
// and durably. False, with messages, when one could not be written.
bool WriteReports(Gang* gang, GangClock::time_point now);

// Hands the page its news: at most four times a second, or now (|force|).
void PublishBoard(Gang* gang, GangClock::time_point now, bool force);

// Stops the page's server and lets go of the counter.
void EndLine(Gang* gang);

// Checks the image argument by korvel's own rules without a port: STOP and
// the built-in image pass; a file must load, not be empty, and (flash)
// carry the marker; a device is never opened. Fills |check| (version,
// SHA-256) or says what is wrong in |problem|.
bool CheckGangImage(const std::string& argument, ImageCheck* check, std::string* problem);

// The SHA-256 of what a run with |argument| programs: the file's (checked
// before), or the built-in image's as korvel fills it; "" for STOP.
std::string RunImageSha256(const Gang& gang, const std::string& argument);

// Whether a second try can mend what ended |job|: a run korvel ended with a
// failure of the device or the line, not of the image or the port's
// settings.
bool IsRetryable(const GangRun& job);

// Whether the run at |runIndex| waits for its retry.
bool RetryPending(const Gang& gang, size_t runIndex);

// Plans a retry of the run at |runIndex| when it may have one.
void ScheduleRetry(Gang* gang, size_t runIndex, GangClock::time_point now);

// Starts the retries whose pause is over (none after a stop request).
// Returns when the next one is due, or time_point::max().
GangClock::time_point StartDueRetries(Gang* gang, GangClock::time_point now);

// Reads "[ADDR:]PORT" into the address (127.0.0.1 without one) and port;
// either out-parameter may be null. False with the reason otherwise.
bool ParseHttpAddress(const std::string& text, std::string* address, int* port,
                      std::string* problem);

// --- The page's server (http.cpp; http_absent.cpp without cpp-httplib) ---------

// Serves the page and its JSON on the address of --http, from a thread of
// its own; nothing a request asks changes anything. False with the reason
// when the address can't be had.
bool StartBoardServer(Gang* gang, std::string* problem);

// Hands the server the JSON the page reads from now on.
void PublishBoardJson(BoardServer* server, const std::string& json);

// The address the server answers on: http://127.0.0.1:8080/
std::string BoardServerUrl(const BoardServer* server);

// Stops the server and waits for its thread.
void StopBoardServer(Gang* gang);

// --- The page itself (board_page.cpp) ----------------------------------------------

// The page (/), its style (/board.css) and its script (/board.js), which
// reads /board.json twice a second and draws a tile per device.
std::string BoardPageHtml();
std::string BoardPageStyle();
std::string BoardPageScript();

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
