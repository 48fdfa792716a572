// Running korvel as a child process: start it with its pipes, take in what
// it writes without ever waiting, reap it, and end it when it is over time.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "common/progress.h"
#include "tools/gang/gang.h"

extern char** environ;

namespace {

// The descriptor korvel gets its progress channel on.
constexpr int kChannelDescriptor = 3;
// How long a SIGTERM gets before SIGKILL follows.
constexpr auto kKillGrace = std::chrono::seconds(2);

void CloseFd(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

// Writes all of |text| to the log; a log that can't be written is not a
// reason to hold up or fail the run (its lines still reach the reports).
void AppendToLog(int logFd, const char* text, size_t length) {
  while (logFd >= 0 && length > 0) {
    const ssize_t written = write(logFd, text, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    text += written;
    length -= static_cast<size_t>(written);
  }
}

// Splits what came in at line feeds: whole lines to |done| (through
// |takeLine|), the rest kept in |partial|.
template <typename TakeLine>
void SplitLines(std::string* partial, const char* data, size_t length, TakeLine takeLine) {
  partial->append(data, length);
  size_t start = 0;
  for (size_t end; (end = partial->find('\n', start)) != std::string::npos; start = end + 1) {
    takeLine(std::string_view(*partial).substr(start, end - start));
  }
  partial->erase(0, start);
}

// Reads what is waiting on |*fd| into |chunk|; closes it at its end or on an
// error. Returns the bytes read (0 when none are waiting).
size_t ReadSome(int* fd, char* chunk, size_t size) {
  if (*fd < 0) return 0;
  const ssize_t count = read(*fd, chunk, size);
  if (count > 0) return static_cast<size_t>(count);
  if (count == 0 || (errno != EINTR && errno != EAGAIN)) CloseFd(fd);
  return 0;
}

// A bounded number of reads per call while korvel runs, so that one chatty
// child can't starve the others: poll brings the gang back for the rest.
constexpr int kReadsPerTurn = 16;

// Takes in standard output until nothing is waiting, |maxReads| reads at most.
void TakeStandardOutput(GangRun* job, int maxReads) {
  char chunk[4096];
  for (int reads = 0; reads < maxReads && job->outFd >= 0; ++reads) {
    const size_t count = ReadSome(&job->outFd, chunk, sizeof chunk);
    if (count == 0) return;
    AppendToLog(job->logFd, chunk, count);
    SplitLines(&job->partialLine, chunk, count,
               [job](std::string_view line) { job->lines.emplace_back(line); });
  }
}

// Takes in channel lines until nothing is waiting, |maxReads| reads at most.
void TakeChannel(GangRun* job, int maxReads) {
  char chunk[4096];
  for (int reads = 0; reads < maxReads && job->channelFd >= 0; ++reads) {
    const size_t count = ReadSome(&job->channelFd, chunk, sizeof chunk);
    if (count == 0) return;
    SplitLines(&job->partialChannel, chunk, count, [job](std::string_view line) {
      if (ParseProgressChannelLine(line, &job->progress)) job->programming = true;
    });
    // A line can't grow beyond a few dozen bytes: anything longer is not
    // the channel's, and is not kept.
    if (job->partialChannel.size() > 256) job->partialChannel.clear();
  }
}

// The environment for korvel: the gang's own, with the channel's variable
// in place of any it had.
std::vector<std::string> ChildEnvironment() {
  const std::string variable = "KORVEL_PROGRESS_FD=";
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, variable.c_str(), variable.size()) != 0) entries.emplace_back(*entry);
  }
  entries.push_back(variable + std::to_string(kChannelDescriptor));
  return entries;
}

// Ends a run that never started.
void NotStarted(GangRun* job, const std::string& reason) {
  job->startError = reason;
  job->outcome = RunOutcome::kNotStarted;
  job->reaped = true;
  job->ended = GangClock::now();
  CloseFd(&job->outFd);
  CloseFd(&job->channelFd);
  CloseFd(&job->logFd);
}

}  // namespace

void StartRun(const GangOptions& options, GangRun* job) {
  job->started = GangClock::now();
  job->startedAt = std::time(nullptr);
  job->deadline = job->started + std::chrono::duration_cast<GangClock::duration>(
                                     std::chrono::duration<double>(options.timeLimitSeconds));

  // 1. The log, then the two pipes. The gang's ends are non-blocking and
  // closed on exec; korvel's ends become its descriptors 1 and 3.
  job->logFd = open(job->logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (job->logFd < 0) {
    NotStarted(job, "cannot write the log " + job->logPath + ": " + std::strerror(errno));
    return;
  }
  int outPipe[2];
  int channelPipe[2];
  if (pipe2(outPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    NotStarted(job, std::string("no pipe: ") + std::strerror(errno));
    return;
  }
  if (pipe2(channelPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    close(outPipe[0]);
    close(outPipe[1]);
    NotStarted(job, std::string("no pipe: ") + std::strerror(errno));
    return;
  }
  // korvel's ends wait when full: its output must not be lost. The
  // channel's end stays non-blocking, which korvel's writes never rely on.
  fcntl(outPipe[1], F_SETFL, 0);

  // 2. korvel's descriptors: 0 /dev/null, 1 the output pipe, 2 /dev/null
  // (it writes nothing there when that is no terminal), 3 the channel;
  // nothing else of the gang's.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, channelPipe[1], kChannelDescriptor);
  posix_spawn_file_actions_addclosefrom_np(&actions, kChannelDescriptor + 1);

  // 3. Default signal handling and no blocked signals (the gang blocks the
  // ones it reads through its signalfd), and a process group of its own.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int sig : {SIGINT, SIGQUIT, SIGPIPE, SIGTERM, SIGHUP, SIGCHLD, SIGWINCH}) {
    sigaddset(&defaults, sig);
  }
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

  // 4. Exactly a korvel run: port, the run's image argument, and the third
  // argument when one was given.
  std::vector<std::string> args = {options.korvel, job->port, job->imageArgument};
  if (!options.activation.empty()) args.push_back(options.activation);
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<std::string> environment = ChildEnvironment();
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);

  const int error = posix_spawn(&job->pid, options.korvel.c_str(), &actions, &attributes,
                                argv.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  // Only the child writes into the pipes: their ends close when it ends.
  close(outPipe[1]);
  close(channelPipe[1]);
  job->outFd = outPipe[0];
  job->channelFd = channelPipe[0];
  if (error != 0) {
    job->pid = -1;
    NotStarted(job, "cannot start " + options.korvel + ": " + std::strerror(error));
  }
}

void ReadRunOutput(GangRun* job) {
  TakeStandardOutput(job, kReadsPerTurn);
  TakeChannel(job, kReadsPerTurn);
}

bool ReapRun(GangRun* job) {
  if (job->reaped) return true;
  int status = 0;
  pid_t pid;
  do {
    pid = waitpid(job->pid, &status, WNOHANG);
  } while (pid < 0 && errno == EINTR);
  if (pid == 0) return false;
  job->reaped = true;
  job->ended = GangClock::now();

  // korvel is gone: what it wrote is in the pipes now. Read until nothing
  // is left, then close them (whoever else might hold their other ends).
  TakeStandardOutput(job, INT_MAX);
  TakeChannel(job, INT_MAX);
  CloseFd(&job->outFd);
  CloseFd(&job->channelFd);
  if (!job->partialLine.empty()) {
    job->lines.push_back(job->partialLine);  // a last line without a line feed
    job->partialLine.clear();
  }
  CloseFd(&job->logFd);

  if (pid > 0 && WIFEXITED(status)) {
    job->exitStatus = WEXITSTATUS(status);
  } else if (pid > 0 && WIFSIGNALED(status)) {
    job->termSignal = WTERMSIG(status);
  }
  // A run the gang ended keeps the reason it was ended for.
  if (job->outcome == RunOutcome::kRunning) {
    job->outcome = job->exitStatus == 0 ? RunOutcome::kPassed : RunOutcome::kFailed;
  }
  return true;
}

void EndRun(GangRun* job, bool timedOut) {
  if (job->reaped || job->termSent) return;
  job->outcome = timedOut ? RunOutcome::kTimedOut : RunOutcome::kStopped;
  // korvel ignores SIGINT and SIGQUIT; SIGTERM ends it.
  kill(job->pid, SIGTERM);
  job->termSent = true;
  job->killAt = GangClock::now() + kKillGrace;
}

void KillIfLingering(GangRun* job, GangClock::time_point now) {
  if (!job->reaped && job->termSent && now >= job->killAt) {
    kill(job->pid, SIGKILL);
    job->killAt = GangClock::time_point::max();
  }
}

std::string KorvelBesideGang() {
  char self[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return "korvel";
  std::string path(self, static_cast<size_t>(length));
  return path.substr(0, path.rfind('/') + 1) + "korvel";
}

std::string LogFileName(const std::string& port, int appearance) {
  std::string name = port.starts_with("/dev/") ? port.substr(5) : port;
  while (!name.empty() && name.front() == '/') name.erase(0, 1);
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  if (name.empty() || name == "." || name == "..") name = "port";
  // Appended, not added up: see ProgressText in board.cpp.
  if (appearance > 1) name.append(1, '.').append(std::to_string(appearance));
  return name.append(".log");
}
