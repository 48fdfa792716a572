#include "tests/guest/guest_machine.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "tests/e2e/run_korvel.h"

extern char** environ;

namespace korvel_guest {

namespace {

using Clock = std::chrono::steady_clock;

// The longest QEMU takes to answer a QMP command, or to quit when asked.
constexpr milliseconds kQmpLimit{10000};
constexpr milliseconds kQuitLimit{5000};
// How much of the console a failure report shows.
constexpr size_t kTranscriptKept = 16384;
// How long the guest waits for its ttyUSB0 to come or go, in tenths of a
// second (busybox's sleep takes fractions).
constexpr int kDeviceNodeTenths = 150;

int ConnectUnix(const std::filesystem::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string text = path.string();
  if (text.size() >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int savedErrno = errno;
    close(fd);
    errno = savedErrno;
    return -1;
  }
  return fd;
}

// Sends all of |text|; a peer that went away gives false, not SIGPIPE.
bool SendAll(int fd, const std::string& text) {
  size_t sent = 0;
  while (sent < text.size()) {
    const ssize_t count = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    sent += static_cast<size_t>(count);
  }
  return true;
}

// Waits until |fd| is readable or |deadline| passes; then reads what there is
// into |text|. False on timeout, end of file or error.
bool ReadSome(int fd, Clock::time_point deadline, std::string* text) {
  while (true) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd ready{fd, POLLIN, 0};
    const int events = poll(&ready, 1, static_cast<int>(left.count()) + 1);
    if (events < 0 && errno == EINTR) continue;
    if (events <= 0) return false;
    char buffer[4096];
    const ssize_t count = read(fd, buffer, sizeof buffer);
    if (count < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (count <= 0) return false;
    text->append(buffer, static_cast<size_t>(count));
    return true;
  }
}

// One "@@<tag> <id> <number>\n" header at |at| in |text|: the number, and
// |at| moved past the header. False while the header is incomplete, and
// for anything else at |at|.
bool TakeHeader(const std::string& text, const std::string& tag, int id, size_t* at, long* number) {
  const std::string start = "@@" + tag + " " + std::to_string(id) + " ";
  if (text.compare(*at, start.size(), start) != 0) return false;
  const size_t end = text.find('\n', *at + start.size());
  if (end == std::string::npos) return false;
  *number = std::strtol(text.c_str() + *at + start.size(), nullptr, 10);
  *at = end + 1;
  return true;
}

// The whole answer to command |id| out of the console text, if it is all
// there: "@@out id n", n bytes, "@@err id m", m bytes, "@@end id status".
// Whatever the console printed before it (kernel messages) is dropped.
bool TakeAnswer(std::string* text, int id, GuestAnswer* answer) {
  const size_t begin = text->find("@@out " + std::to_string(id) + " ");
  if (begin == std::string::npos) return false;
  size_t at = begin;
  long outCount = 0, errCount = 0, status = 0;
  if (!TakeHeader(*text, "out", id, &at, &outCount)) return false;
  if (text->size() < at + static_cast<size_t>(outCount)) return false;
  const std::string out = text->substr(at, static_cast<size_t>(outCount));
  at += static_cast<size_t>(outCount);
  if (!TakeHeader(*text, "err", id, &at, &errCount)) return false;
  if (text->size() < at + static_cast<size_t>(errCount)) return false;
  const std::string err = text->substr(at, static_cast<size_t>(errCount));
  at += static_cast<size_t>(errCount);
  if (!TakeHeader(*text, "end", id, &at, &status)) return false;
  answer->answered = true;
  answer->out = out;
  answer->err = err;
  answer->status = static_cast<int>(status);
  text->erase(0, at);
  return true;
}

// Starts |args| (QEMU) with its output in |log|. Returns its process id, or
// -1 with the reason in |why|.
pid_t StartQemu(const std::vector<std::string>& args, const std::filesystem::path& log,
                std::string* why) {
  const std::string program = korvel_e2e::FindProgram(args[0]);
  if (program.empty()) {
    *why = args[0] + " is not installed (Debian package qemu-system-x86)";
    return -1;
  }
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const int output = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (output < 0 || input < 0) {
    *why = std::string("no log file for QEMU: ") + std::strerror(errno);
    if (output >= 0) close(output);
    if (input >= 0) close(input);
    return -1;
  }
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child == 0) {
    // The child: only calls that are safe between fork and exec. QEMU dies
    // with this process, so a test run that is killed (ctest's timeout)
    // leaves no guest behind; and it gets none of our descriptors but its
    // output, in particular not the simulated devices' pseudo-terminal
    // masters, which would keep a line up after its device went away.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    dup2(input, STDIN_FILENO);
    dup2(output, STDOUT_FILENO);
    dup2(output, STDERR_FILENO);
    close_range(STDERR_FILENO + 1, ~0U, 0);
    execve(program.c_str(), argv.data(), environ);
    _exit(127);
  }
  const int forkErrno = errno;
  close(output);
  close(input);
  if (child < 0) *why = std::string("QEMU can't be started: ") + std::strerror(forkErrno);
  return child < 0 ? -1 : child;
}

}  // namespace

GuestMachine::~GuestMachine() {
  Stop();
}

bool GuestMachine::Boot(const GuestConfig& config, milliseconds limit, std::string* why) {
  const Clock::time_point deadline = Clock::now() + limit;
  workDir_ = config.workDir;
  const std::string consolePath = (workDir_ / "console.sock").string();
  const std::string qmpPath = (workDir_ / "qmp.sock").string();
  const std::vector<std::string> args = {
      "qemu-system-x86_64",
      // Software emulation: the same on every machine, KVM or not.
      "-accel", "tcg", "-m", "256", "-nodefaults", "-display", "none", "-no-reboot", "-kernel",
      config.kernel.string(), "-initrd", config.initramfs.string(),
      // A guest whose init dies panics and, with -no-reboot, ends QEMU.
      "-append", "console=ttyS0 quiet panic=-1",
      // ttyS0: the command console. ttyS1: a 16550 UART whose line is a
      // pseudo-terminal of the host. No server waits for its client.
      "-chardev", "socket,id=console,path=" + consolePath + ",server=on,wait=off", "-serial",
      "chardev:console", "-chardev", "serial,id=uart1,path=" + config.uartLine, "-serial",
      "chardev:uart1",
      // The USB host controller the adapters are plugged into.
      "-device", "qemu-xhci,id=xhci", "-qmp", "unix:" + qmpPath + ",server=on,wait=off",
      // A network card on QEMU's user network, where 10.0.2.2 is this
      // machine's loopback.
      "-netdev", "user,id=net0", "-device", "e1000,netdev=net0"};
  qemu_ = StartQemu(args, workDir_ / "qemu.log", why);
  if (qemu_ < 0) return false;

  if (!ConnectSockets(std::chrono::duration_cast<milliseconds>(deadline - Clock::now()), why)) {
    return false;
  }
  std::string greeting;
  if (!ReadQmpLine(Clock::now() + kQmpLimit, &greeting) ||
      !Qmp(R"({"execute": "qmp_capabilities"})")) {
    *why = "QEMU's control socket does not answer";
    return false;
  }
  while (consoleText_.find("@@ready") == std::string::npos) {
    if (!ReadConsole(deadline)) {
      *why = "the guest did not get ready within " + std::to_string(limit.count()) + " ms";
      return false;
    }
  }
  if (consoleText_.find("@@insmod-failed") != std::string::npos) {
    *why = "the guest could not load a driver module";
    return false;
  }
  consoleText_.clear();
  return true;
}

bool GuestMachine::ConnectSockets(milliseconds limit, std::string* why) {
  // QEMU makes its sockets once it has parsed its options; until then, or
  // when it stops at an error, there is nothing to connect to.
  const Clock::time_point deadline = Clock::now() + limit;
  while (console_ < 0 || qmp_ < 0) {
    int status = 0;
    if (waitpid(qemu_, &status, WNOHANG) == qemu_) {
      qemu_ = -1;
      *why = "QEMU ended at its start:\n" + korvel_e2e::ReadFileText(workDir_ / "qemu.log");
      return false;
    }
    if (console_ < 0) console_ = ConnectUnix(workDir_ / "console.sock");
    if (qmp_ < 0) qmp_ = ConnectUnix(workDir_ / "qmp.sock");
    if (Clock::now() > deadline) {
      *why = "QEMU's sockets did not appear";
      return false;
    }
    if (console_ < 0 || qmp_ < 0) std::this_thread::sleep_for(milliseconds(20));
  }
  return true;
}

bool GuestMachine::ReadConsole(Clock::time_point deadline) {
  std::string text;
  if (!ReadSome(console_, deadline, &text)) return false;
  consoleText_ += text;
  transcript_ += text;
  if (transcript_.size() > kTranscriptKept) {
    transcript_.erase(0, transcript_.size() - kTranscriptKept);
  }
  return true;
}

bool GuestMachine::Start(const std::string& command) {
  started_ = Clock::now();
  return SendAll(console_, std::to_string(++lastCommand_) + " " + command + "\n");
}

GuestAnswer GuestMachine::Finish(milliseconds limit) {
  const Clock::time_point deadline = Clock::now() + limit;
  GuestAnswer answer;
  while (!TakeAnswer(&consoleText_, lastCommand_, &answer)) {
    if (!ReadConsole(deadline)) break;
  }
  answer.wallTime = std::chrono::duration_cast<milliseconds>(Clock::now() - started_);
  return answer;
}

GuestAnswer GuestMachine::Run(const std::string& command, milliseconds limit) {
  if (!Start(command)) return GuestAnswer{};
  return Finish(limit);
}

bool GuestMachine::ReadQmpLine(Clock::time_point deadline, std::string* line) {
  // QMP ends every message with CR LF.
  size_t end = 0;
  while ((end = qmpPending_.find('\n')) == std::string::npos) {
    if (!ReadSome(qmp_, deadline, &qmpPending_)) return false;
  }
  *line = qmpPending_.substr(0, end);
  qmpPending_.erase(0, end + 1);
  return true;
}

bool GuestMachine::Qmp(const std::string& json, std::string* reply) {
  if (!SendAll(qmp_, json + "\n")) return false;
  const Clock::time_point deadline = Clock::now() + kQmpLimit;
  std::string line;
  while (ReadQmpLine(deadline, &line)) {
    if (line.find("\"event\"") != std::string::npos) {
      events_.push_back(line);
      continue;
    }
    if (reply != nullptr) *reply = line;
    return line.starts_with("{\"return\"");
  }
  return false;
}

bool GuestMachine::WaitForEvent(const std::string& name, const std::string& detail,
                                milliseconds limit) {
  const Clock::time_point deadline = Clock::now() + limit;
  const std::string tag = "\"event\": \"" + name + "\"";
  size_t checked = 0;
  while (true) {
    for (; checked < events_.size(); ++checked) {
      const std::string& event = events_[checked];
      if (event.find(tag) != std::string::npos && event.find(detail) != std::string::npos) {
        events_.erase(events_.begin() + static_cast<std::ptrdiff_t>(checked));
        return true;
      }
    }
    std::string line;
    if (!ReadQmpLine(deadline, &line)) return false;
    events_.push_back(line);
  }
}

bool GuestMachine::PlugAdapter(const std::string& line, const std::string& serialNumber,
                               std::string* id, std::string* why) {
  *id = std::to_string(nextAdapter_++);
  std::string reply;
  // QEMU's FTDI emulation passes the guest's line rate on to the host
  // terminal it is given (its "serial" character device).
  if (!Qmp(R"({"execute": "chardev-add", "arguments": {"id": "line)" + *id +
               R"(", "backend": {"type": "serial", "data": {"device": ")" + line + R"("}}}})",
           &reply) ||
      !Qmp(R"({"execute": "device_add", "arguments": {"driver": "usb-serial", "id": "adapter)" +
               *id + R"(", "chardev": "line)" + *id + R"(")" +
               (serialNumber.empty() ? "" : R"(, "serial": ")" + serialNumber + R"(")") + "}}",
           &reply)) {
    *why = "QEMU refused the adapter: " + reply;
    return false;
  }
  const GuestAnswer answer =
      Run("n=0; until [ -e /dev/ttyUSB0 ]; do n=$((n + 1)); [ $n -gt " +
              std::to_string(kDeviceNodeTenths) + " ] && exit 1; sleep 0.1; done",
          milliseconds(kDeviceNodeTenths * 100 + 10000));
  if (!answer.answered || answer.status != 0) {
    *why = "the guest made no ttyUSB0 of the adapter";
    return false;
  }
  return true;
}

bool GuestMachine::PullOutAdapter(const std::string& id, std::string* why) {
  std::string reply;
  if (!Qmp(R"({"execute": "device_del", "arguments": {"id": "adapter)" + id + R"("}})", &reply)) {
    *why = "QEMU refused to pull the adapter out: " + reply;
    return false;
  }
  if (!WaitForEvent("DEVICE_DELETED", "\"adapter" + id + "\"", kQmpLimit)) {
    *why = "QEMU did not let the adapter go";
    return false;
  }
  return true;
}

bool GuestMachine::ReleaseAdapter(const std::string& id, std::string* why) {
  const GuestAnswer answer =
      Run("n=0; while [ -e /dev/ttyUSB0 ]; do n=$((n + 1)); [ $n -gt " +
              std::to_string(kDeviceNodeTenths) + " ] && exit 1; sleep 0.1; done",
          milliseconds(kDeviceNodeTenths * 100 + 10000));
  if (!answer.answered || answer.status != 0) {
    *why = "the guest kept its ttyUSB0 after the adapter went";
    return false;
  }
  std::string reply;
  if (!Qmp(R"({"execute": "chardev-remove", "arguments": {"id": "line)" + id + R"("}})", &reply)) {
    *why = "QEMU kept the adapter's line: " + reply;
    return false;
  }
  return true;
}

std::string GuestMachine::Transcript() const {
  return "--- the guest's console, last part:\n" + transcript_ + "\n--- QEMU's output:\n" +
         korvel_e2e::ReadFileText(workDir_ / "qemu.log");
}

void GuestMachine::Stop() {
  if (qemu_ > 0) {
    // Asked to quit, QEMU ends at once; a QEMU that does not is killed.
    if (qmp_ >= 0) SendAll(qmp_, "{\"execute\": \"quit\"}\n");
    const Clock::time_point deadline = Clock::now() + kQuitLimit;
    int status = 0;
    while (waitpid(qemu_, &status, WNOHANG) == 0) {
      if (Clock::now() > deadline) {
        kill(qemu_, SIGKILL);
        waitpid(qemu_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(milliseconds(20));
    }
    qemu_ = -1;
  }
  if (console_ >= 0) close(console_);
  if (qmp_ >= 0) close(qmp_);
  console_ = -1;
  qmp_ = -1;
}

}  // namespace korvel_guest
