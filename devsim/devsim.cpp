// Starting and stopping the simulated device, its thread's poll loop, and
// the thread-safe view of what it recorded.
#include "devsim/devsim.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "devsim/commands.h"
#include "devsim/device.h"

// The handle API of devsim.h is built from the device's internals.
using namespace devsim_internal;

namespace {

using std::chrono::milliseconds;

// The longest single wait of the loop; the wake eventfd ends it sooner.
constexpr milliseconds kLongestWait{500};

// Bytes per read, and per write while flooding.
constexpr size_t kChunkSize = 4096;

void SignalEventFd(int fd) {
  const uint64_t one = 1;
  // A full counter or an interrupted call loses nothing: the descriptor is
  // readable either way, which is all a waiter looks at.
  const ssize_t ignored = write(fd, &one, sizeof one);
  (void)ignored;
}

// Wakes everyone who waits for a change of the record.
void Publish(Devsim* devsim) {
  devsim->changed.notify_all();
  SignalEventFd(devsim->changeFd);
}

// The wait until |next|, to the nanosecond: a paced device sends bytes
// 87 us apart, which a wait in whole milliseconds would stretch.
timespec PollTimeout(DeviceClock::time_point next, DeviceClock::time_point now) {
  const DeviceClock::duration wait =
      next <= now ? DeviceClock::duration::zero()
                  : std::min<DeviceClock::duration>(next - now, kLongestWait);
  const auto seconds = std::chrono::floor<std::chrono::seconds>(wait);
  return timespec{static_cast<time_t>(seconds.count()),
                  static_cast<long>(std::chrono::nanoseconds(wait - seconds).count())};
}

void NoteSlip(Devsim* devsim, DeviceClock::duration slip) {
  const auto us =
      static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::microseconds>(slip).count());
  std::lock_guard<std::mutex> lock(devsim->mutex);
  devsim->record.pacingSlipUs = std::max(devsim->record.pacingSlipUs, us);
}

// Writes the bursts whose time has come, each with one write() so that it
// reaches the tool as one burst. A write the terminal takes only in part
// (the reader is not reading) waits for room.
void WriteDueOutput(Devsim* devsim, DeviceClock::time_point now) {
  DeviceState& state = devsim->state;
  state.outputBlocked = false;
  while (!state.output.empty() && state.output.front().due <= now) {
    PendingBurst& burst = state.output.front();
    const ssize_t count = write(devsim->pty.master, burst.bytes.data(), burst.bytes.size());
    if (count < 0 && errno == EINTR) continue;
    if (count < 0 && errno != EAGAIN) {
      // The line is gone; what was meant for it goes with it.
      state.output.clear();
      return;
    }
    const size_t taken = count < 0 ? 0 : static_cast<size_t>(count);
    if (taken < burst.bytes.size()) {
      burst.bytes.erase(burst.bytes.begin(), burst.bytes.begin() + static_cast<ptrdiff_t>(taken));
      state.outputBlocked = true;
      return;
    }
    if (devsim->config.paced) NoteSlip(devsim, DeviceClock::now() - burst.due);
    state.output.pop_front();
  }
}

// Closes the pseudo-terminal, so the tool's side reads a hang-up.
void Vanish(Devsim* devsim) {
  ClosePty(&devsim->pty);
  devsim->state.output.clear();
  if (devsim->config.logFrames) std::fprintf(stderr, "devsim: vanished\n");
}

// What the wait of the device loop ended with.
enum class Wakeup {
  kNothing,   // a timer, room to write, or nothing to read after all
  kReadable,  // the terminal has something to read
  kStop,      // StopDevsim, or the wait failed
};

// Waits for input, room to write, a timer or the stop request.
Wakeup WaitForLine(Devsim* devsim) {
  const DeviceState& state = devsim->state;
  pollfd fds[2] = {{devsim->wakeFd, POLLIN, 0}, {devsim->pty.master, 0, 0}};
  if (!state.readingStopped) fds[1].events |= POLLIN;
  if (state.outputBlocked) fds[1].events |= POLLOUT;
  const timespec timeout = PollTimeout(NextDeviceDeadline(state), DeviceClock::now());
  const int ready = ppoll(fds, 2, &timeout, nullptr);
  if (ready < 0 && errno != EINTR) {
    std::perror("devsim: poll");
    return Wakeup::kStop;
  }
  if (ready <= 0) return Wakeup::kNothing;
  if (fds[0].revents != 0) return Wakeup::kStop;
  if (state.readingStopped || (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
    return Wakeup::kNothing;
  }
  return Wakeup::kReadable;
}

// Reads what has arrived and hands it to the device: a change of the line
// settings to the gate, data bytes to the device with the rate the line
// has now. In packet mode a read yields either a status byte alone or a 0
// followed by data. False once nothing more can come.
bool ReadFromLine(Devsim* devsim, std::vector<uint8_t>* buffer) {
  const ssize_t count = read(devsim->pty.master, buffer->data(), buffer->size());
  if (count < 0 && (errno == EINTR || errno == EAGAIN)) return true;
  if (count <= 0) {
    // The device holds the slave open, so this is not a client going
    // away: the terminal itself was hung up.
    std::fprintf(stderr, "devsim: the pseudo-terminal hung up\n");
    return false;
  }
  const DeviceClock::time_point now = DeviceClock::now();
  std::lock_guard<std::mutex> lock(devsim->mutex);
  if ((*buffer)[0] != 0) {
    if ((*buffer)[0] & kLineSettingsChanged) {
      GateOnSettingsChanged(devsim, now);
      Publish(devsim);
    }
    return true;
  }
  if (count == 1) return true;
  uint32_t lineRate = 0;
  if (!ReadLineRate(devsim->pty.slave, &lineRate)) lineRate = 0;
  GateOnBytes(devsim, now);
  FeedDeviceBytes(devsim, std::span(*buffer).subspan(1, static_cast<size_t>(count) - 1), lineRate,
                  now);
  Publish(devsim);
  return true;
}

// The loop's end: the record says so before the line goes, so that
// whoever sees the hang-up finds it recorded.
void EndDevice(Devsim* devsim) {
  if (devsim->state.vanishRequested) {
    {
      std::lock_guard<std::mutex> lock(devsim->mutex);
      devsim->record.vanished = true;
    }
    Vanish(devsim);
  }
  std::lock_guard<std::mutex> lock(devsim->mutex);
  devsim->ended = true;
  Publish(devsim);
}

void RunDevice(Devsim* devsim) {
  DeviceState& state = devsim->state;
  std::vector<uint8_t> buffer(kChunkSize + 1);  // the packet status byte, then data
  // The kernel may let a timed wait run 50 us long by default, to gather
  // wake-ups; a paced device keeps its bytes to the microsecond instead.
  // This thread only.
  if (devsim->config.paced) prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  while (true) {
    // 1. Timers, then whatever is due to be written.
    const DeviceClock::time_point now = DeviceClock::now();
    {
      std::lock_guard<std::mutex> lock(devsim->mutex);
      if (HandleDeviceTimers(devsim, now)) Publish(devsim);
    }
    if (state.vanishRequested) break;
    if (state.flooding && state.output.empty()) {
      QueueBurst(&state, NoiseBytes(state.floodSeed++, kChunkSize), now);
    }
    WriteDueOutput(devsim, now);

    // 2. Wait; 3. read what has arrived.
    const Wakeup wakeup = WaitForLine(devsim);
    if (wakeup == Wakeup::kStop) break;
    if (wakeup == Wakeup::kReadable && !ReadFromLine(devsim, &buffer)) break;
  }
  EndDevice(devsim);
}

void CloseEventFd(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

}  // namespace

Devsim* StartDevsim(const DevsimConfig& config) {
  Devsim* devsim = new Devsim;
  devsim->config = config;
  ResetMemories(&devsim->record, config.flashSize, config.eepromSize);
  devsim->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  devsim->changeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (devsim->wakeFd < 0 || devsim->changeFd < 0 || !OpenPty(&devsim->pty)) {
    const int savedErrno = errno;
    CloseEventFd(&devsim->wakeFd);
    CloseEventFd(&devsim->changeFd);
    delete devsim;
    errno = savedErrno;
    return nullptr;
  }
  devsim->path = devsim->pty.path;
  devsim->state.gate.settleTime = milliseconds(config.settleTimeMs);
  // The firmware holds the line before anyone can know its path, so that no
  // byte passes before the rate it comes at is known.
  GateForFirmware(devsim);
  devsim->thread = std::thread(RunDevice, devsim);
  return devsim;
}

std::string DevsimPortPath(const Devsim* devsim) {
  return devsim->path;
}

DevsimRecord DevsimSnapshot(Devsim* devsim) {
  std::lock_guard<std::mutex> lock(devsim->mutex);
  return devsim->record;
}

bool DevsimWaitUntil(Devsim* devsim, const std::function<bool(const DevsimRecord&)>& done,
                     int timeoutMs) {
  std::unique_lock<std::mutex> lock(devsim->mutex);
  // An ended device changes no more; waiting on would only use up the time.
  devsim->changed.wait_for(lock, milliseconds(timeoutMs),
                           [&] { return devsim->ended || done(devsim->record); });
  return done(devsim->record);
}

int DevsimChangeFd(const Devsim* devsim) {
  return devsim->changeFd;
}

void StopDevsim(Devsim* devsim) {
  if (devsim == nullptr) return;
  SignalEventFd(devsim->wakeFd);
  devsim->thread.join();
  ClosePty(&devsim->pty);
  CloseEventFd(&devsim->wakeFd);
  CloseEventFd(&devsim->changeFd);
  delete devsim;
}
