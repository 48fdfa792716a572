#include "tests/e2e/simulated_device.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "tests/e2e/run_korvel.h"

namespace korvel_e2e {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long the device must take nothing in to count as settled, and the
// longest a test waits for that.
constexpr milliseconds kQuietTime{150};
constexpr milliseconds kSettleLimit{5000};

// KORVEL_E2E_DEVSIM_LOG=1 in the environment makes every device of a test
// run log its frames and events on standard error.
DevsimConfig WithLogFromEnvironment(DevsimConfig config) {
  const char* log = std::getenv("KORVEL_E2E_DEVSIM_LOG");
  if (log != nullptr && std::string(log) == "1") config.logFrames = true;
  return config;
}

}  // namespace

SimulatedDevice::SimulatedDevice(const DevsimConfig& config)
    : devsim_(StartDevsim(WithLogFromEnvironment(config))) {
  if (!devsim_) {
    throw std::runtime_error(std::string("cannot start the simulated device: ") +
                             std::strerror(errno));
  }
}

SimulatedDevice::~SimulatedDevice() = default;

std::string SimulatedDevice::port() const {
  return DevsimPortPath(devsim_.get());
}

DevsimRecord SimulatedDevice::Snapshot() const {
  return DevsimSnapshot(devsim_.get());
}

DevsimRecord SimulatedDevice::WaitFor(const std::function<bool(const DevsimRecord&)>& done,
                                      milliseconds limit) const {
  DevsimWaitUntil(devsim_.get(), done, static_cast<int>(limit.count()));
  return Snapshot();
}

DevsimRecord SimulatedDevice::Settled() const {
  // Every change of the record wakes the change descriptor; the device is
  // settled once it stays asleep for kQuietTime.
  const int changes = DevsimChangeFd(devsim_.get());
  const Clock::time_point deadline = Clock::now() + kSettleLimit;
  while (Clock::now() < deadline) {
    pollfd ready{changes, POLLIN, 0};
    const int events = poll(&ready, 1, static_cast<int>(kQuietTime.count()));
    if (events == 0) break;
    if (events < 0 && errno != EINTR) break;
    uint64_t count = 0;
    if (events > 0 && read(changes, &count, sizeof count) < 0 && errno != EAGAIN) break;
  }
  return Snapshot();
}

DevsimConfig WithProbeFaults(const ProbeFaults& faults) {
  DevsimConfig config;
  config.probes = faults;
  return config;
}

std::string Describe(const DevsimRecord& record) {
  std::ostringstream text;
  text << "activation bytes " << record.activationBytes.size() << " at " << record.activationBaud
       << " baud, bootloader entries " << record.bootloaderEntries << ", probes " << record.probes
       << ", frames " << record.frames.size() << ", corrupt frames " << record.corruptFrames
       << ", stray bytes " << record.strayBytes << ", resets " << record.resets
       << ", flash written " << record.flashWritten << ", eeprom written " << record.eepromWritten
       << (record.vanished ? ", vanished" : "");
  return text.str();
}

void LeavePortCooked(const std::string& port) {
  const int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  termios tio{};
  ASSERT_EQ(tcgetattr(fd, &tio), 0);
  tio.c_iflag |= ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP | BRKINT | INPCK;
  tio.c_oflag |= OPOST | ONLCR | OCRNL;
  tio.c_lflag |= ECHO | ECHOE | ECHONL | ICANON | ISIG | IEXTEN;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 5;
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &tio), 0);
  close(fd);
}

termios PortSettings(const std::string& port) {
  termios settings{};
  const int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) {
    tcgetattr(fd, &settings);
    close(fd);
  }
  return settings;
}

::testing::AssertionResult SettingsAsFound(const std::string& port, const termios& found) {
  if (UnderWine()) return ::testing::AssertionSuccess() << "not compared under Wine";
  const termios now = PortSettings(port);
  termios expected = found;
  expected.c_cflag &= ~static_cast<tcflag_t>(HUPCL);
  std::ostringstream differences;
  const auto compare = [&](const char* field, unsigned long is, unsigned long was) {
    if (is != was) {
      differences << " " << field << " 0" << std::oct << is << " (found 0" << was << ")"
                  << std::dec;
    }
  };
  compare("c_iflag", now.c_iflag, expected.c_iflag);
  compare("c_oflag", now.c_oflag, expected.c_oflag);
  compare("c_cflag", now.c_cflag, expected.c_cflag);
  compare("c_lflag", now.c_lflag, expected.c_lflag);
  if (!std::equal(std::begin(now.c_cc), std::end(now.c_cc), std::begin(expected.c_cc))) {
    differences << " c_cc";
  }
  if (differences.str().empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << port << " not left as found:" << differences.str();
}

}  // namespace korvel_e2e
