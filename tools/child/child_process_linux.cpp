// Running a child process on Linux: posix_spawn with pipes, waitpid,
// signals. Nothing of Windows here.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "tools/child/child_process.h"

extern char** environ;

namespace {

// The descriptor the child gets its channel on.
constexpr int kChannelDescriptor = 3;

void CloseFd(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

// The environment for the child: the parent's own, with |variable| set to
// the channel's descriptor in place of any it had.
std::vector<std::string> ChildEnvironment(const std::string& variable) {
  std::vector<std::string> entries;
  const std::string prefix = variable + "=";
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (variable.empty() || std::strncmp(*entry, prefix.c_str(), prefix.size()) != 0) {
      entries.emplace_back(*entry);
    }
  }
  if (!variable.empty()) entries.push_back(prefix + std::to_string(kChannelDescriptor));
  return entries;
}

// The child's descriptors: 0 /dev/null, 1 the output pipe, 2 /dev/null (a
// program that writes nothing there when it is no terminal) or, on a
// terminal, 1 and 2 the terminal; 3 the channel when there is one; nothing
// else of the parent's.
void SetChildDescriptors(posix_spawn_file_actions_t* actions, int outWrite, bool terminal,
                         int channelWrite) {
  posix_spawn_file_actions_addopen(actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(actions, outWrite, STDOUT_FILENO);
  if (terminal) {
    posix_spawn_file_actions_adddup2(actions, outWrite, STDERR_FILENO);
  } else {
    posix_spawn_file_actions_addopen(actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  }
  if (channelWrite >= 0) {
    posix_spawn_file_actions_adddup2(actions, channelWrite, kChannelDescriptor);
  }
  posix_spawn_file_actions_addclosefrom_np(actions, kChannelDescriptor + 1);
}

// Default signal handling and no blocked signals (the parent blocks those
// it reads through its signalfd), and a process group of its own: a Ctrl+C
// on the terminal is the parent's to handle.
void SetChildSignals(posix_spawnattr_t* attributes) {
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int sig : {SIGINT, SIGQUIT, SIGPIPE, SIGTERM, SIGHUP, SIGCHLD, SIGWINCH}) {
    sigaddset(&defaults, sig);
  }
  posix_spawnattr_setsigdefault(attributes, &defaults);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(attributes, &none);
  posix_spawnattr_setpgroup(attributes, 0);
  posix_spawnattr_setflags(attributes,
                           POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
}

// Spawns the child with the pipes' writing ends; returns 0 or an errno.
int Spawn(const ChildLaunch& launch, int outWrite, int channelWrite, pid_t* pid) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  SetChildDescriptors(&actions, outWrite, launch.terminalColumns != 0, channelWrite);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  SetChildSignals(&attributes);

  std::vector<std::string> args = {launch.program};
  args.insert(args.end(), launch.args.begin(), launch.args.end());
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<std::string> environment = ChildEnvironment(launch.channelVariable);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);

  const int error =
      posix_spawn(pid, launch.program.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return error;
}

// A pseudo-terminal of |columns| x |rows| in place of the output pipe: the
// parent's end (non-blocking, as a pipe's) and the child's. False when
// none can be had.
bool OpenTerminal(int columns, int rows, int ends[2]) {
  ends[0] = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  const winsize size = {static_cast<unsigned short>(rows), static_cast<unsigned short>(columns), 0,
                        0};
  if (ends[0] < 0 || grantpt(ends[0]) != 0 || unlockpt(ends[0]) != 0 ||
      ioctl(ends[0], TIOCSWINSZ, &size) != 0) {
    return false;
  }
  ends[1] = open(ptsname(ends[0]), O_RDWR | O_NOCTTY | O_CLOEXEC);
  return ends[1] >= 0;
}

}  // namespace

bool StartChild(const ChildLaunch& launch, Child* child, std::string* error) {
  // 1. The pipes. The parent's ends are non-blocking and closed on exec;
  // the child's ends become its descriptors 1 and 3.
  int outPipe[2] = {-1, -1};
  int channelPipe[2] = {-1, -1};
  const bool wantChannel = !launch.channelVariable.empty();
  const bool outOpen = launch.terminalColumns != 0
                           ? OpenTerminal(launch.terminalColumns, launch.terminalRows, outPipe)
                           : pipe2(outPipe, O_CLOEXEC | O_NONBLOCK) == 0;
  if (!outOpen || (wantChannel && pipe2(channelPipe, O_CLOEXEC | O_NONBLOCK) != 0)) {
    *error = std::string("no pipe: ") + std::strerror(errno);
    for (int* fd : {&outPipe[0], &outPipe[1]}) CloseFd(fd);
    return false;
  }
  // The child's output end waits when full: its output must not be lost.
  // The channel's end stays non-blocking, which its writer must not rely
  // on either way.
  fcntl(outPipe[1], F_SETFL, 0);

  // 2. The child; then only it writes into the pipes, so their ends close
  // when it ends.
  const int spawnError = Spawn(launch, outPipe[1], channelPipe[1], &child->process.pid);
  CloseFd(&outPipe[1]);
  CloseFd(&channelPipe[1]);
  child->output.fd = outPipe[0];
  child->channel.fd = channelPipe[0];
  if (spawnError != 0) {
    child->process.pid = -1;
    CloseChildPipe(&child->output);
    CloseChildPipe(&child->channel);
    *error = "cannot start " + launch.program + ": " + std::strerror(spawnError);
    return false;
  }
  return true;
}

bool ChildPipeOpen(const ChildPipe& pipe) {
  return pipe.fd >= 0;
}

size_t ReadChildPipe(ChildPipe* pipe, char* buffer, size_t size, PipeRead /*mode*/) {
  // Once the child has ended, what it wrote is in the pipe already: reading
  // to its end never waits either.
  if (pipe->fd < 0) return 0;
  const ssize_t count = read(pipe->fd, buffer, size);
  if (count > 0) return static_cast<size_t>(count);
  if (count == 0 || (errno != EINTR && errno != EAGAIN)) CloseFd(&pipe->fd);
  return 0;
}

void CloseChildPipe(ChildPipe* pipe) {
  CloseFd(&pipe->fd);
}

bool ChildEnded(Child* child, ChildExit* exit) {
  if (child->process.pid < 0) return true;
  int status = 0;
  pid_t pid;
  do {
    pid = waitpid(child->process.pid, &status, WNOHANG);
  } while (pid < 0 && errno == EINTR);
  if (pid == 0) return false;
  // A child that can't be waited for (ECHILD) is gone all the same.
  if (pid > 0 && WIFEXITED(status)) exit->status = WEXITSTATUS(status);
  if (pid > 0 && WIFSIGNALED(status)) exit->signal = WTERMSIG(status);
  child->process.pid = -1;
  return true;
}

bool AskChildToEnd(Child* child) {
  return child->process.pid > 0 && kill(child->process.pid, SIGTERM) == 0;
}

void KillChild(Child* child) {
  if (child->process.pid > 0) kill(child->process.pid, SIGKILL);
}

std::string ProgramBesideSelf(const std::string& name) {
  char self[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return name;
  const std::string path(self, static_cast<size_t>(length));
  return path.substr(0, path.rfind('/') + 1) + name;
}
