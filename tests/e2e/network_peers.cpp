#include "tests/e2e/network_peers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "serial/telnet.h"

extern char** environ;

namespace korvel_e2e {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kListenLimit{5000};
constexpr milliseconds kPollInterval{20};
// What a flooding server sends at most: megabytes, never without end.
constexpr size_t kFloodLimit = 32u << 20;
// The junk a junk server sends before its first answer.
constexpr size_t kJunkAhead = 2u << 20;

void NoDelay(int fd) {
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

sockaddr_in LoopbackAddress(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

// A socket listening on 127.0.0.1 at a port the system picks, for
// |backlog| connections not yet accepted (Linux takes one more).
int ListenOnLoopback(uint16_t* port, int backlog = 1) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = LoopbackAddress(0);
  socklen_t size = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      listen(fd, backlog) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    throw std::runtime_error("no loopback socket to listen on");
  }
  *port = ntohs(address.sin_port);
  return fd;
}

// A connection to 127.0.0.1:|port|, without Nagle's delay; -1 when refused.
int ConnectToLoopback(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address = LoopbackAddress(port);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  NoDelay(fd);
  return fd;
}

// Whether something listens on 127.0.0.1:|port|: the kernel's table of TCP
// sockets, read without connecting (ser2net takes one connection at a time).
bool Listening(uint16_t port) {
  char local[32];
  std::snprintf(local, sizeof local, "0100007F:%04X", port);
  std::ifstream table("/proc/net/tcp");
  for (std::string line; std::getline(table, line);) {
    std::istringstream fields(line);
    std::string slot, address, remote, state;
    fields >> slot >> address >> remote >> state;
    if (address == local && state == "0A") return true;  // 0A: LISTEN
  }
  return false;
}

// Waits for the one connection; -1 when the object is stopped first.
int AcceptOne(int listener, const std::atomic<bool>& stop) {
  while (!stop) {
    pollfd ready{listener, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(kPollInterval.count())) > 0) {
      return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    }
  }
  return -1;
}

// The server's answer to request |command| with |value|.
void Answer(uint8_t command, uint32_t value, size_t valueSize, std::vector<uint8_t>* out) {
  const std::array<uint8_t, 4> bytes = TelnetBaudValue(value);
  std::array<uint8_t, kMaxComPortRequest> answer{};
  const size_t length =
      TelnetComPortRequest(static_cast<ComPortCommand>(command + kComPortAnswerOffset),
                           std::span<const uint8_t>(bytes).last(valueSize), answer);
  out->insert(out->end(), answer.begin(), answer.begin() + length);
}

// A loopback port that nothing listens on at the moment of the call.
uint16_t FreeLoopbackPort() {
  uint16_t port = 0;
  close(ListenOnLoopback(&port));
  return port;
}

}  // namespace

std::string LoopbackUrl(uint16_t port) {
  return "rfc2217://127.0.0.1:" + std::to_string(port);
}

// --- ser2net ------------------------------------------------------------------

Ser2net::Ser2net(const std::string& devicePort) {
  std::string program = FindProgram("ser2net");
  if (program.empty() && access("/usr/sbin/ser2net", X_OK) == 0) program = "/usr/sbin/ser2net";
  if (program.empty()) throw std::runtime_error("ser2net is not installed (Debian: ser2net)");
  port_ = FreeLoopbackPort();
  const std::string config = (dir_ / "ser2net.yaml").string();
  std::ofstream(config) << "connection: &korvel\n"
                        << "  accepter: telnet(rfc2217),tcp(nodelay),127.0.0.1," << port_ << "\n"
                        << "  connector: serialdev," << devicePort << ",115200n81,local\n"
                        << "  options:\n    max-connections: 1\n    chardelay: false\n";
  const std::string log = (dir_ / "ser2net.log").string();
  const std::string pidFile = (dir_ / "ser2net.pid").string();
  // -n: stay in the foreground; -u: no UUCP lock files in /var/lock.
  std::vector<std::string> args = {program, "-n", "-u", "-c", config, "-P", pidFile};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  // Not the simulated device's pseudo-terminal master, nor anything else.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  const int error = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) throw std::runtime_error("ser2net can't be started");
  const Clock::time_point deadline = Clock::now() + kListenLimit;
  while (!Listening(port_)) {
    if (Clock::now() > deadline || waitpid(pid_, nullptr, WNOHANG) == pid_) {
      Kill();
      throw std::runtime_error("ser2net does not listen:\n" + ReadFileText(log));
    }
    std::this_thread::sleep_for(milliseconds(10));
  }
}

Ser2net::~Ser2net() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
}

void Ser2net::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

// --- The hostile server ---------------------------------------------------------

HostileServer::HostileServer(Hostility hostility, size_t closeAfter) {
  listener_ = ListenOnLoopback(&port_, 0);
  if (hostility == Hostility::kAbsent) {
    close(listener_);
    listener_ = -1;
  } else if (hostility == Hostility::kNeverAccepts) {
    // The one connection its queue holds; the kernel drops the requests of
    // any further one unanswered.
    queued_ = ConnectToLoopback(port_);
  } else {
    thread_ = std::thread([this, hostility, closeAfter] { Serve(hostility, closeAfter); });
  }
}

HostileServer::~HostileServer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  for (int fd : {listener_, queued_}) {
    if (fd >= 0) close(fd);
  }
}

void HostileServer::Serve(Hostility hostility, size_t closeAfter) {
  const int fd = AcceptOne(listener_, stop_);
  if (fd < 0) return;
  std::vector<uint8_t> out;
  const bool flooding =
      hostility == Hostility::kEndlessSubnegotiation || hostility == Hostility::kJunk;
  if (hostility == Hostility::kEndlessSubnegotiation) out = {kTelnetIac, kTelnetSb, kOptionComPort};
  // Junk: megabytes of it before the first answer, and more after each.
  if (hostility == Hostility::kJunk) out.resize(kJunkAhead, 0x5A);
  const bool answers =
      hostility != Hostility::kSilent && hostility != Hostility::kEndlessSubnegotiation;
  TelnetDecoder decoder;
  size_t received = 0;
  while (!stop_) {
    // 1. Keep a flood going (bytes that are neither IAC nor SE).
    if (flooding && out.size() < 4096 && sent_ < kFloodLimit) out.resize(out.size() + 4096, 0x5A);
    pollfd ready{fd, static_cast<short>(POLLIN | (out.empty() ? 0 : POLLOUT)), 0};
    if (poll(&ready, 1, static_cast<int>(kPollInterval.count())) < 0) break;
    // 2. What korvel sent, answered as asked unless the server lies.
    if ((ready.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      std::array<uint8_t, 4096> in{};
      const ssize_t count = read(fd, in.data(), in.size());
      if (count <= 0) break;
      received += static_cast<size_t>(count);
      if (hostility == Hostility::kCloseAfterBytes && received >= closeAfter) break;
      std::span<const uint8_t> rest(in.data(), static_cast<size_t>(count));
      while (answers && !rest.empty()) {
        std::array<uint8_t, 4096> data{};
        size_t dataLength = 0;
        TelnetEvent event;
        rest = rest.subspan(TelnetDecode(&decoder, rest, true, data, &dataLength, &event));
        if (event.kind == TelnetEvent::Kind::kNegotiation && event.option == kOptionComPort) {
          out.insert(out.end(),
                     {kTelnetIac, static_cast<uint8_t>(TelnetVerb::kDo), kOptionComPort});
        }
        if (event.kind != TelnetEvent::Kind::kSubnegotiation || event.length == 0) continue;
        uint32_t value = 0;
        for (size_t i = 1; i < event.length; ++i) value = (value << 8) | event.payload[i];
        const uint8_t command = event.payload[0];
        const bool rate = command == static_cast<uint8_t>(ComPortCommand::kSetBaudrate);
        if (rate && hostility == Hostility::kWrongRate) value /= 2;
        Answer(command, value, rate ? 4 : 1, &out);
      }
    }
    // 3. What is due to korvel.
    if ((ready.revents & POLLOUT) != 0) {
      const ssize_t count = send(fd, out.data(), out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (count < 0 && errno != EAGAIN) break;
      if (count > 0) {
        out.erase(out.begin(), out.begin() + count);
        sent_ += static_cast<size_t>(count);
      }
    }
  }
  close(fd);
}

// --- The impairing proxy ----------------------------------------------------------

ImpairingProxy::ImpairingProxy(uint16_t serverPort, const Impairment& impairment) {
  listener_ = ListenOnLoopback(&port_);
  thread_ = std::thread([this, serverPort, impairment] { Relay(serverPort, impairment); });
}

ImpairingProxy::~ImpairingProxy() {
  stop_ = true;
  thread_.join();
  close(listener_);
}

namespace {

// One direction of the relay: the bytes read and when each is due.
struct Flow {
  int from = -1;
  int to = -1;
  std::deque<std::pair<Clock::time_point, uint8_t>> queue;
  Clock::time_point lastDue{};
  bool ended = false;  // |from| has closed
};

// Queues a chunk |flow| read: each byte with the time it is due.
void Delay(Flow& flow, std::span<const uint8_t> chunk, const Impairment& impairment, bool hold,
           std::mt19937& random) {
  Clock::time_point due = std::max(flow.lastDue, Clock::now() + impairment.delay);
  if (hold) due += milliseconds(300);
  std::uniform_int_distribution<int> jitterUs(0, impairment.jitterUs);
  for (uint8_t octet : chunk) {
    due += std::chrono::microseconds(jitterUs(random));
    flow.queue.emplace_back(due, octet);
  }
  flow.lastDue = due;
}

// Sends what is due of |flow|'s queue: byte by byte, or all at once.
void SendDue(Flow& flow, bool singleBytes) {
  std::vector<uint8_t> due;
  while (!flow.queue.empty() && flow.queue.front().first <= Clock::now()) {
    due.push_back(flow.queue.front().second);
    flow.queue.pop_front();
  }
  const size_t step = singleBytes ? 1 : std::max<size_t>(due.size(), 1);
  for (size_t at = 0; at < due.size(); at += step) {
    const size_t count = std::min(step, due.size() - at);
    if (send(flow.to, due.data() + at, count, MSG_NOSIGNAL) != static_cast<ssize_t>(count)) {
      flow.ended = true;
      flow.queue.clear();
      return;
    }
  }
}

}  // namespace

void ImpairingProxy::Relay(uint16_t serverPort, const Impairment& impairment) {
  const int client = AcceptOne(listener_, stop_);
  if (client < 0) return;
  const int server = ConnectToLoopback(serverPort);
  if (server < 0) stop_ = true;
  NoDelay(client);
  std::mt19937 random(impairment.seed);
  Flow flows[2];
  flows[0].from = flows[1].to = client;
  flows[1].from = flows[0].to = server;
  while (!stop_ && !(flows[0].ended && flows[1].ended)) {
    // Wakes for the next byte due to the microsecond: the proxy adds no
    // delay of its own.
    Clock::time_point wake = Clock::now() + kPollInterval;
    for (const Flow& flow : flows) {
      if (!flow.queue.empty()) wake = std::min(wake, flow.queue.front().first);
    }
    const auto wait = std::max(wake - Clock::now(), Clock::duration::zero());
    const timespec timeout{0, static_cast<long>(std::chrono::nanoseconds(wait).count())};
    pollfd ready[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    ppoll(ready, 2, &timeout, nullptr);
    for (int i = 0; i < 2; ++i) {
      Flow& flow = flows[i];
      if (!flow.ended && (ready[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        std::array<uint8_t, 4096> chunk{};
        const ssize_t count = read(flow.from, chunk.data(), chunk.size());
        flow.ended = count <= 0;
        const bool hold = count > 0 && static_cast<int>(random() % 100) < impairment.holdPercent;
        if (hold) ++holds_;
        if (count > 0) {
          Delay(flow, std::span(chunk).first(static_cast<size_t>(count)), impairment, hold, random);
        }
      }
      SendDue(flow, impairment.singleBytes);
      if (flow.ended && flow.queue.empty()) shutdown(flow.to, SHUT_WR);
    }
  }
  close(client);
  close(server);
}

}  // namespace korvel_e2e
