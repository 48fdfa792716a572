// Running korvel as a child process (tools/child): start it with its pipes,
// take in what it writes without ever waiting, reap it, and end it when it
// is over time.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/progress.h"
#include "tools/gang/gang.h"

namespace {

// How long a run asked to end gets before it is killed.
constexpr auto kKillGrace = std::chrono::seconds(2);

void CloseLog(GangRun* job) {
  if (job->log != nullptr) std::fclose(job->log);
  job->log = nullptr;
}

// Writes all of |text| to the log; a log that can't be written is not a
// reason to hold up or fail the run (its lines still reach the reports).
void AppendToLog(std::FILE* log, const char* text, size_t length) {
  if (log != nullptr) std::fwrite(text, 1, length, log);
}

// Splits what came in at line feeds: whole lines to |done| (through
// |takeLine|), the rest kept in |partial|. A carriage return before the
// line feed belongs to the line's end: korvel.exe writes its standard
// output in text mode, CR LF.
template <typename TakeLine>
void SplitLines(std::string* partial, const char* data, size_t length, TakeLine takeLine) {
  partial->append(data, length);
  size_t start = 0;
  for (size_t end; (end = partial->find('\n', start)) != std::string::npos; start = end + 1) {
    std::string_view line = std::string_view(*partial).substr(start, end - start);
    if (line.ends_with('\r')) line.remove_suffix(1);
    takeLine(line);
  }
  partial->erase(0, start);
}

// A bounded number of reads per call while korvel runs, so that one chatty
// child can't starve the others: the wait brings the gang back for the rest.
constexpr int kReadsPerTurn = 16;

// Hands what waits in |pipe| to |takeChunk| until nothing is waiting,
// |maxReads| reads at most.
template <typename TakeChunk>
void TakePipe(ChildPipe* pipe, int maxReads, PipeRead mode, TakeChunk takeChunk) {
  char chunk[4096];
  for (int reads = 0; reads < maxReads && ChildPipeOpen(*pipe); ++reads) {
    const size_t count = ReadChildPipe(pipe, chunk, sizeof chunk, mode);
    if (count == 0) return;
    takeChunk(chunk, count);
  }
}

// Takes in standard output: into the log, and korvel's lines.
void TakeStandardOutput(GangRun* job, int maxReads, PipeRead mode) {
  TakePipe(&job->child.output, maxReads, mode, [job](const char* chunk, size_t count) {
    AppendToLog(job->log, chunk, count);
    SplitLines(&job->partialLine, chunk, count,
               [job](std::string_view line) { job->lines.emplace_back(line); });
  });
}

// Takes in the channel's lines: the progress.
void TakeChannel(GangRun* job, int maxReads, PipeRead mode) {
  TakePipe(&job->child.channel, maxReads, mode, [job](const char* chunk, size_t count) {
    SplitLines(&job->partialChannel, chunk, count, [job](std::string_view line) {
      if (ParseProgressChannelLine(line, &job->progress)) job->programming = true;
    });
    // A line can't grow beyond a few dozen bytes: anything longer is not
    // the channel's, and is not kept.
    if (job->partialChannel.size() > 256) job->partialChannel.clear();
  });
}

// Ends a run that never started, for |reason|.
void NotStarted(GangRun* job, std::string reason) {
  job->startError = std::move(reason);
  job->outcome = RunOutcome::kNotStarted;
  job->reaped = true;
  job->ended = GangClock::now();
  CloseLog(job);
}

// Whether |stem| (a file name up to its first dot) is a name that Windows
// keeps for a device in every folder.
bool DeviceName(std::string stem) {
  for (char& c : stem) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL") return true;
  return stem.size() == 4 && (stem.starts_with("COM") || stem.starts_with("LPT")) &&
         stem[3] >= '1' && stem[3] <= '9';
}

}  // namespace

void StartRun(const GangOptions& options, GangRun* job) {
  job->started = GangClock::now();
  job->startedAt = std::time(nullptr);
  job->deadline = job->started + std::chrono::duration_cast<GangClock::duration>(
                                     std::chrono::duration<double>(options.timeLimitSeconds));

  // A run refused before it could start (the counter gave it no number)
  // ends here, with that reason.
  if (!job->startError.empty()) {
    NotStarted(job, job->startError);
    return;
  }

  // 1. The log, written as korvel's output comes.
  job->log = std::fopen(job->logPath.c_str(), "wb");
  if (job->log == nullptr) {
    NotStarted(job, "cannot write the log " + job->logPath + ": " + std::strerror(errno));
    return;
  }
  std::setvbuf(job->log, nullptr, _IONBF, 0);

  // 2. Exactly a korvel run: port, the run's image argument, and the third
  // argument when one was given; its progress on the channel.
  ChildLaunch launch;
  launch.program = options.korvel;
  launch.args = {job->port, job->imageArgument};
  if (!options.activation.empty()) launch.args.push_back(options.activation);
  launch.channelVariable = "KORVEL_PROGRESS_FD";
  // Windows: how the time limit asks korvel to end (POSIX sends SIGTERM).
  launch.stopVariable = "KORVEL_STOP_HANDLE";
  std::string error;
  if (!StartChild(launch, &job->child, &error)) NotStarted(job, error);
}

void ReadRunOutput(GangRun* job) {
  TakeStandardOutput(job, kReadsPerTurn, PipeRead::kNow);
  TakeChannel(job, kReadsPerTurn, PipeRead::kNow);
}

bool ReapRun(GangRun* job) {
  if (job->reaped) return true;
  ChildExit exit;
  if (!ChildEnded(&job->child, &exit)) return false;
  job->reaped = true;
  job->ended = GangClock::now();

  // korvel is gone: what it wrote is in the pipes, or on its way. Read
  // until nothing is left, then close them (whoever else might hold their
  // other ends).
  TakeStandardOutput(job, INT_MAX, PipeRead::kToEnd);
  TakeChannel(job, INT_MAX, PipeRead::kToEnd);
  CloseChildPipe(&job->child.output);
  CloseChildPipe(&job->child.channel);
  if (!job->partialLine.empty()) {
    job->lines.push_back(job->partialLine);  // a last line without a line feed
    job->partialLine.clear();
  }
  CloseLog(job);

  job->exitStatus = exit.status;
  job->termSignal = exit.signal;
  // A run the gang ended keeps the reason it was ended for.
  if (job->outcome == RunOutcome::kRunning) {
    job->outcome = job->exitStatus == 0 ? RunOutcome::kPassed : RunOutcome::kFailed;
  }
  return true;
}

void EndRun(GangRun* job, bool timedOut) {
  if (job->reaped || job->termSent) return;
  job->outcome = timedOut ? RunOutcome::kTimedOut : RunOutcome::kStopped;
  // korvel ignores the keyboard's interrupts; SIGTERM ends it. Where it
  // can't be asked, it is killed at once.
  const bool asked = AskChildToEnd(&job->child);
  job->termSent = true;
  job->killAt = asked ? GangClock::now() + kKillGrace : GangClock::now();
  KillIfLingering(job, GangClock::now());
}

void KillIfLingering(GangRun* job, GangClock::time_point now) {
  if (!job->reaped && job->termSent && now >= job->killAt) {
    KillChild(&job->child);
    job->killAt = GangClock::time_point::max();
  }
}

std::string LogFileName(const std::string& port, int appearance) {
  std::string name = port;
  for (const char* prefix : {"/dev/", "\\\\.\\"}) {
    if (name.starts_with(prefix)) name.erase(0, std::strlen(prefix));
  }
  while (!name.empty() && (name.front() == '/' || name.front() == '\\')) name.erase(0, 1);
  for (char& c : name) {
    if (c == '/' || c == '\\' || c == ':') c = '_';
  }
  if (name.empty() || name == "." || name == "..") name = "port";
  const size_t stemEnd = std::min(name.find('.'), name.size());
  if (DeviceName(name.substr(0, stemEnd))) name.insert(stemEnd, 1, '_');
  // Appended, not added up: see ProgressText in board.cpp.
  if (appearance > 1) name.append(1, '.').append(std::to_string(appearance));
  return name.append(".log");
}
