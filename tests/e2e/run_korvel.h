// Running the korvel binary (or any program) as a child process for the
// end-to-end tests: arguments in, exit status, output and wall time out.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace korvel_e2e {

// How korvel reads the device's replies: with the standard timing, or with
// fast replies (KORVEL_FAST=1), which must judge every reply the same.
enum class ReplyMode { kInherited, kStandard, kFast };

// Both timings, for the tests that run each case with either.
inline constexpr ReplyMode kReplyModes[] = {ReplyMode::kStandard, ReplyMode::kFast};

// "Standard" or "Fast", for test names; "" for kInherited.
const char* ModeName(ReplyMode mode);

inline void PrintTo(ReplyMode mode, std::ostream* out) {
  *out << ModeName(mode);
}

// How a child run is watched.
struct RunOptions {
  // The child is killed when it runs longer than this; the result then says
  // it timed out.
  std::chrono::milliseconds timeout{30000};
  // The child's working folder; the test's own when empty.
  std::filesystem::path workingDirectory{};
  // "NAME=value" entries added to (or replacing those in) the test's own
  // environment for the child.
  std::vector<std::string> environment{};
  // For RunKorvel: KORVEL_FAST=1 for kFast, KORVEL_FAST=0 (read as the
  // standard timing) for kStandard, so that a KORVEL_FAST of the test's own
  // environment does not change the case; kInherited passes that one on, so
  // a whole suite can run with fast replies.
  ReplyMode replies = ReplyMode::kInherited;
  // Standard error on a fresh pseudo-terminal instead of a pipe, |columns|
  // wide (0: no size set, as a terminal that can't tell); RunResult::err
  // then holds what arrived on the terminal. |outOnTerminal| puts standard
  // output there too (RunResult::out stays empty).
  bool errOnTerminal = false;
  bool outOnTerminal = false;
  unsigned short columns = 0;
  // A descriptor of the test's that the child gets as its descriptor 3 (for
  // korvel's progress channel); none when -1. The child gets no other.
  int descriptor3 = -1;
  // Sends |signal| the first time |signalWhen| holds, and again each time it
  // holds after that (a fifth of a second apart at least: signals of one
  // kind do not queue), |signalCount| times in all. The condition is checked
  // every few milliseconds while the child runs, so it can wait for
  // something the simulated device reports (e.g. the first probes).
  int signal = 0;
  int signalCount = 1;
  std::function<bool()> signalWhen{};
  // Stops reading the child's output once it has exited and what it wrote
  // has been read, instead of at the end of its pipes: programs it left
  // running may hold them for long (the background processes Wine starts
  // with the first program of a prefix).
  bool outputEndsAtExit = false;
};

struct RunResult {
  // The exit status as the shell sees it (an exit of -1 reads 255); -1 when
  // the child did not exit by itself (a signal ended it, or the timeout).
  int exitStatus = -1;
  int termSignal = 0;  // the signal that ended the child, if any
  bool timedOut = false;
  bool signalSent = false;  // RunOptions::signal went out, as often as asked
  std::string out;
  std::string err;
  std::chrono::milliseconds wallTime{0};
  // The user and system CPU time the child used (with its own children,
  // such as a traced korvel under strace), from wait4.
  std::chrono::milliseconds cpuTime{0};
  // The most memory the child held at once, in KiB (wait4's ru_maxrss).
  long maxResidentKb = 0;

  // Standard output split at line feeds. A last line without a line feed
  // is kept; the empty remainder after a final line feed is not.
  std::vector<std::string> OutLines() const;
};

// Runs |program| with |args| (argv[0] is |program|), standard input from
// /dev/null, standard output and error captured. Never waits longer than
// the timeout (plus the time to reap a killed child). A child that can't be
// started gives exit status 127 and the reason in |err|.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options = {});

// |output| split at its line feeds, without the CR of a Windows console
// program's line ends.
std::vector<std::string> LinesOf(const std::string& output);

// The path of |name| in $PATH, or "" when it is not there.
std::string FindProgram(const std::string& name);

// The bytes of the file at |path|; "" when it can't be read.
std::string ReadFileText(const std::filesystem::path& path);

// Runs the korvel binary (see KorvelBinary), or korvel.exe under Wine (see
// UnderWine); under Wine the timeout is tripled, plus StartCost.
RunResult RunKorvel(const std::vector<std::string>& args, const RunOptions& options = {});

// The path of that binary: the one built with these tests, unless the
// environment names another in KORVEL_E2E_BINARY.
std::string KorvelBinary();

// The companion program |name| (korvel-check, korvel-ports) that lies
// beside the korvel binary, or beside korvel.exe under Wine (name.exe).
std::string CompanionBinary(const std::string& name);

// Runs that companion with |args| as RunKorvel runs korvel.
RunResult RunCompanion(const std::string& name, const std::vector<std::string>& args,
                       const RunOptions& options = {});

// Wine mode: when the environment names a Windows build in KORVEL_E2E_WINE,
// RunKorvel runs that korvel.exe under Wine (tests/win32/wine-run.sh) in one
// prefix shared by the whole test run. A simulated device's /dev/pts/K given
// as the port becomes COMN with N = 10 + K (modulo 247, so N <= 256): tests
// running side by side have ports of their own. Other port arguments go
// through unchanged; so for the companions (RunCompanion), whichever of
// their arguments names one. Timeouts are stretched (see RunKorvel), and
// failure reports are compared without their error codes (see
// expected_lines.h).
bool UnderWine();

// The name a Windows program under Wine gets for |port|: COMN for a
// simulated device's /dev/pts/K (see UnderWine), |port| itself otherwise.
std::string WinePortName(const std::string& port);

// What starting the tool may cost on top of its own work: nothing natively,
// the start of a Windows program under Wine otherwise. For limits on a run's
// wall time.
std::chrono::milliseconds StartCost();

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it
// when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  // Writes |bytes| into the file |name| in this folder (parent folders are
  // made as needed) and returns its path.
  std::filesystem::path WriteFile(const std::string& name, const std::vector<uint8_t>& bytes) const;

 private:
  std::filesystem::path path_;
};

}  // namespace korvel_e2e
