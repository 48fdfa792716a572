#include "tests/e2e/run_korvel.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string_view>

extern char** environ;

namespace korvel_e2e {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How often RunOptions::signalWhen is checked while the child runs.
constexpr milliseconds kSignalCheckInterval{5};
// The least time between two signals of RunOptions::signalCount.
constexpr milliseconds kSignalSpacing{200};
// How long a killed child may take to go away before its pipes are dropped.
constexpr milliseconds kReapAfterKill{5000};
// How often the child is looked at when the system offers no process
// descriptor to wait on.
constexpr milliseconds kExitCheckInterval{10};

// A file descriptor closed with the object.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Close(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool open() const { return fd_ >= 0; }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// Moves what is waiting in |fd| into |text|; closes |fd| at end of file or
// on an error.
void Drain(Fd& fd, std::string& text) {
  char buffer[4096];
  const ssize_t count = read(fd.get(), buffer, sizeof buffer);
  if (count > 0) {
    text.append(buffer, static_cast<size_t>(count));
  } else if (count == 0 || (errno != EINTR && errno != EAGAIN)) {
    fd.Close();
  }
}

// The two ends of the child's standard error: ours to read, the child's to
// write. A pipe, or for RunOptions::errOnTerminal a pseudo-terminal's
// master and slave.
bool OpenErrChannel(const RunOptions& options, int ends[2]) {
  if (!options.errOnTerminal) return pipe2(ends, O_CLOEXEC) == 0;
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  const winsize size = {24, options.columns, 0, 0};  // rows, columns, pixels unused
  const bool ready = master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 &&
                     (options.columns == 0 || ioctl(master, TIOCSWINSZ, &size) == 0);
  const int slave = ready ? open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
  if (slave < 0) {
    if (master >= 0) close(master);
    return false;
  }
  ends[0] = master;
  ends[1] = slave;
  return true;
}

// Starts the child. Returns its process id, or an error code.
int Spawn(const std::string& program, const std::vector<std::string>& args,
          const RunOptions& options, int outWrite, int errWrite, pid_t* pid) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, options.outOnTerminal ? errWrite : outWrite,
                                   STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errWrite, STDERR_FILENO);
  constexpr int kDescriptor3 = 3;
  if (options.descriptor3 >= 0) {
    posix_spawn_file_actions_adddup2(&actions, options.descriptor3, kDescriptor3);
  }
  // Nothing else of ours reaches the child: in particular not the simulated
  // device's pseudo-terminal master, which would keep the line up after the
  // device closed it.
  posix_spawn_file_actions_addclosefrom_np(
      &actions, options.descriptor3 >= 0 ? kDescriptor3 + 1 : STDERR_FILENO + 1);
  if (!options.workingDirectory.empty()) {
    posix_spawn_file_actions_addchdir_np(&actions, options.workingDirectory.c_str());
  }

  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // Default dispositions and no blocked signals, whatever the test runner
  // inherited: a test that checks that the tool ignores SIGINT must not pass
  // because the child already ignored it.
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int sig : {SIGINT, SIGQUIT, SIGPIPE, SIGTERM, SIGHUP}) sigaddset(&defaults, sig);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  // A process group of its own, so a timeout ends the child and whatever it
  // started (a traced korvel under strace).
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

  // The environment: ours, with the options' entries in place of those of
  // the same name.
  std::vector<std::string> entries = options.environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const std::string_view name = text.substr(0, text.find('='));
    const bool replaced = std::any_of(entries.begin(), entries.end(), [&](const std::string& own) {
      return own.size() > name.size() && own.compare(0, name.size(), name) == 0 &&
             own[name.size()] == '=';
    });
    if (!replaced) entries.emplace_back(text);
  }
  std::vector<char*> envp;
  for (std::string& entry : entries) envp.push_back(entry.data());
  envp.push_back(nullptr);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  const int error =
      posix_spawn(pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return error;
}

}  // namespace

std::vector<std::string> LinesOf(const std::string& output) {
  std::vector<std::string> lines;
  std::istringstream stream(output);
  for (std::string line; std::getline(stream, line);) {
    if (line.ends_with('\r')) line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> RunResult::OutLines() const {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < out.size()) {
    const size_t end = out.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(out.substr(start));
      break;
    }
    lines.push_back(out.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options) {
  RunResult result;
  int outPipe[2];
  int errEnds[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  if (!OpenErrChannel(options, errEnds)) {
    close(outPipe[0]);
    close(outPipe[1]);
    throw std::runtime_error("no channel for standard error");
  }
  Fd outRead(outPipe[0]);
  Fd errRead(errEnds[0]);
  std::optional<Fd> outWrite(std::in_place, outPipe[1]);
  std::optional<Fd> errWrite(std::in_place, errEnds[1]);

  const Clock::time_point start = Clock::now();
  pid_t pid = -1;
  const int spawnError = Spawn(program, args, options, outWrite->get(), errWrite->get(), &pid);
  // Only the child writes: without closing our ends the pipes never end.
  outWrite.reset();
  errWrite.reset();
  if (spawnError != 0) {
    result.exitStatus = 127;
    result.err = "cannot start " + program + ": " + std::strerror(spawnError);
    return result;
  }

  // Waiting for the child's end through a process descriptor (called
  // directly: glibc 2.36 declares pidfd_open without C linkage for C++), so one poll
  // covers output and exit; without one, the child is looked at regularly.
  Fd pidFd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
  Clock::time_point deadline = start + options.timeout;
  bool killed = false;
  bool exited = false;
  int signalsSent = 0;
  Clock::time_point lastSignal{};
  int status = 0;
  rusage usage{};
  while (outRead.open() || errRead.open() || !exited) {
    Clock::time_point now = Clock::now();
    if (now >= deadline) {
      if (killed) break;  // not gone within kReapAfterKill: stop reading
      kill(-pid, SIGKILL);
      killed = true;
      result.timedOut = true;
      deadline = now + kReapAfterKill;
    }
    const bool signalPending = options.signal != 0 && signalsSent < options.signalCount &&
                               !exited && !killed && options.signalWhen;
    // Standard signals do not queue: a second one sent before the child
    // took the first would be lost in it.
    if (signalPending && now - lastSignal >= kSignalSpacing && options.signalWhen()) {
      kill(pid, options.signal);
      result.signalSent = ++signalsSent >= options.signalCount;
      lastSignal = now;
    }

    milliseconds wait = std::chrono::ceil<milliseconds>(deadline - now);
    if (signalPending) wait = std::min(wait, kSignalCheckInterval);
    if (!exited && !pidFd.open()) wait = std::min(wait, kExitCheckInterval);
    // The child is gone: whatever it wrote is in the pipes already.
    const bool lastLook = exited && options.outputEndsAtExit;
    if (lastLook) wait = milliseconds(0);

    pollfd fds[3];
    nfds_t count = 0;
    const auto watch = [&](const Fd& fd) {
      fds[count] = pollfd{fd.open() ? fd.get() : -1, POLLIN, 0};
      ++count;
    };
    watch(outRead);
    watch(errRead);
    if (!exited) watch(pidFd);
    if (poll(fds, count, static_cast<int>(wait.count())) < 0 && errno != EINTR) break;

    if (lastLook && fds[0].revents == 0 && fds[1].revents == 0) break;
    if (outRead.open() && fds[0].revents != 0) Drain(outRead, result.out);
    if (errRead.open() && fds[1].revents != 0) Drain(errRead, result.err);
    if (!exited && (!pidFd.open() || fds[2].revents != 0)) {
      exited = wait4(pid, &status, WNOHANG, &usage) == pid;
    }
  }
  if (!exited) {
    // Only after a kill that did not take effect in time; the child has been
    // sent SIGKILL, so this wait ends.
    kill(-pid, SIGKILL);
    wait4(pid, &status, 0, &usage);
  }
  result.wallTime = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
  const auto cpu = [](const timeval& time) {
    return milliseconds(time.tv_sec * 1000 + time.tv_usec / 1000);
  };
  result.cpuTime = cpu(usage.ru_utime) + cpu(usage.ru_stime);
  result.maxResidentKb = usage.ru_maxrss;

  if (WIFEXITED(status) && !result.timedOut) {
    result.exitStatus = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.termSignal = WTERMSIG(status);
  }
  return result;
}

std::string FindProgram(const std::string& name) {
  // Without PATH, the system's default; an empty entry is the working folder.
  const char* path = std::getenv("PATH");
  std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string folder; std::getline(folders, folder, ':');) {
    const std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

std::string ReadFileText(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::string KorvelBinary() {
  // Another build of the tool (an installed one, or one built with other
  // options) can be put under the same tests.
  const char* other = std::getenv("KORVEL_E2E_BINARY");
  return other != nullptr && *other != '\0' ? other : KORVEL_BINARY;
}

namespace {

// The korvel.exe named by KORVEL_E2E_WINE, or "" for native runs.
std::string WineProgram() {
  const char* program = std::getenv("KORVEL_E2E_WINE");
  return program != nullptr ? program : "";
}

// What a Wine start costs at most, measured with a warm prefix under load;
// a run that needs the prefix created first gets its own limit.
constexpr milliseconds kWineStartCost{3000};
// The first start of a prefix takes about 20 s; on a loaded machine more.
constexpr milliseconds kWinePrefixCreation{180000};

constexpr std::string_view kPseudoTerminals = "/dev/pts/";
// COM numbers from kFirstCom up to 256 (Windows' last) stand for
// pseudo-terminals.
constexpr unsigned kFirstCom = 10;
constexpr unsigned kLastCom = 256;

std::string WineRunScript() {
  return std::string(KORVEL_SOURCE_DIR) + "/tests/win32/wine-run.sh";
}

// The wine-run.sh command line for |program| with |args|: the
// pseudo-terminals among the arguments (korvel's port: the first alone)
// made COM ports.
std::vector<std::string> WineArguments(const std::string& program,
                                       const std::vector<std::string>& args, bool firstOnly) {
  std::vector<std::string> command;
  std::vector<std::string> programArgs = args;
  for (size_t i = 0; i < programArgs.size() && (i == 0 || !firstOnly); ++i) {
    const std::string com = WinePortName(args[i]);
    if (com == args[i]) continue;
    command.insert(command.end(), {"--com", com.substr(3), args[i]});
    programArgs[i] = com;
  }
  command.push_back(program);
  command.insert(command.end(), programArgs.begin(), programArgs.end());
  return command;
}

std::vector<std::string> WineArguments(const std::vector<std::string>& args) {
  return WineArguments(WineProgram(), args, true);
}

// Runs wine-run.sh with |command|, the timeout stretched for Wine.
RunResult RunUnderWine(const std::vector<std::string>& command, const RunOptions& options) {
  RunOptions wine = options;
  wine.timeout = 3 * options.timeout + kWineStartCost;
  wine.outputEndsAtExit = true;
  return RunProgram(WineRunScript(), command, wine);
}

// Creates the Wine prefix (when it is missing) and starts its server once,
// before the first test, so that no test pays for it or times out on it.
class WinePrefixSetup : public ::testing::Environment {
 public:
  void SetUp() override {
    RunOptions options;
    options.timeout = kWinePrefixCreation;
    options.outputEndsAtExit = true;
    // Without arguments korvel.exe prints its usage and ends with -1.
    const RunResult run = RunProgram(WineRunScript(), WineArguments({}), options);
    if (run.exitStatus != 255 || run.out.find("Usage: ") == std::string::npos) {
      FAIL() << "korvel.exe does not start under Wine (status " << run.exitStatus
             << (run.timedOut ? ", timed out" : "") << "):\n"
             << run.out << run.err;
    }
  }
};

[[maybe_unused]] ::testing::Environment* const kWinePrefixSetup =
    UnderWine() ? ::testing::AddGlobalTestEnvironment(new WinePrefixSetup) : nullptr;

}  // namespace

bool UnderWine() {
  return !WineProgram().empty();
}

std::string WinePortName(const std::string& port) {
  if (!port.starts_with(kPseudoTerminals)) return port;
  const std::string number = port.substr(kPseudoTerminals.size());
  if (number.empty() || number.size() >= 9 ||
      !std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return port;
  }
  const unsigned com =
      kFirstCom + static_cast<unsigned>(std::stoul(number)) % (kLastCom - kFirstCom + 1);
  return "COM" + std::to_string(com);
}

milliseconds StartCost() {
  return UnderWine() ? kWineStartCost : milliseconds(0);
}

const char* ModeName(ReplyMode mode) {
  switch (mode) {
    case ReplyMode::kStandard:
      return "Standard";
    case ReplyMode::kFast:
      return "Fast";
    case ReplyMode::kInherited:
      break;
  }
  return "";
}

RunResult RunKorvel(const std::vector<std::string>& args, const RunOptions& given) {
  RunOptions options = given;
  if (options.replies != ReplyMode::kInherited) {
    options.environment.push_back(options.replies == ReplyMode::kFast ? "KORVEL_FAST=1"
                                                                      : "KORVEL_FAST=0");
  }
  if (!UnderWine()) return RunProgram(KorvelBinary(), args, options);
  return RunUnderWine(WineArguments(args), options);
}

std::string CompanionBinary(const std::string& name) {
  if (UnderWine()) {
    return (std::filesystem::path(WineProgram()).parent_path() / (name + ".exe")).string();
  }
  return (std::filesystem::path(KorvelBinary()).parent_path() / name).string();
}

RunResult RunCompanion(const std::string& name, const std::vector<std::string>& args,
                       const RunOptions& options) {
  if (!UnderWine()) return RunProgram(CompanionBinary(name), args, options);
  return RunUnderWine(WineArguments(CompanionBinary(name), args, false), options);
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/korvel-e2e-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TempDir::WriteFile(const std::string& name,
                                         const std::vector<uint8_t>& bytes) const {
  const std::filesystem::path file = path_ / name;
  std::filesystem::create_directories(file.parent_path());
  std::ofstream stream(file, std::ios::binary | std::ios::trunc);
  stream.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  if (!stream) throw std::runtime_error("cannot write " + file.string());
  return file;
}

}  // namespace korvel_e2e
