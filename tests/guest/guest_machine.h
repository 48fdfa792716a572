// A QEMU guest that boots Debian's kernel with the real serial drivers, and
// the host's ends of it: the guest's command console (its ttyS0) and QEMU's
// control socket (QMP), through which USB serial adapters are plugged in and
// pulled out while the guest runs.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace korvel_guest {

using std::chrono::milliseconds;

struct GuestConfig {
  std::filesystem::path kernel;
  std::filesystem::path initramfs;
  // The pseudo-terminal behind the guest's second UART (ttyS1).
  std::string uartLine;
  // Where the sockets and QEMU's own output go.
  std::filesystem::path workDir;
};

// The answer to one command in the guest.
struct GuestAnswer {
  bool answered = false;  // false: no answer within the limit, or the guest died
  int status = -1;        // the command's exit status
  std::string out;
  std::string err;
  milliseconds wallTime{0};  // from sending the command to the end of its answer
};

class GuestMachine {
 public:
  GuestMachine() = default;
  // Stops QEMU: asks it to quit, then kills it.
  ~GuestMachine();
  GuestMachine(const GuestMachine&) = delete;
  GuestMachine& operator=(const GuestMachine&) = delete;

  // Starts QEMU and waits until the guest's init reports it is ready.
  // Returns false with the reason in |why|.
  bool Boot(const GuestConfig& config, milliseconds limit, std::string* why);

  // Runs |command| with the guest's shell and waits for its answer.
  GuestAnswer Run(const std::string& command, milliseconds limit);

  // The same in two halves, for a test that acts while the command runs.
  bool Start(const std::string& command);
  GuestAnswer Finish(milliseconds limit);

  // Executes one QMP command (a JSON object); true when QEMU returned
  // success. |reply| gets QEMU's answer line.
  bool Qmp(const std::string& json, std::string* reply = nullptr);

  // Waits for a QMP event |name| whose line contains |detail|.
  bool WaitForEvent(const std::string& name, const std::string& detail, milliseconds limit);

  // Plugs in a fresh FTDI adapter whose line is the pseudo-terminal |line|,
  // with the USB serial number |serialNumber| (QEMU's own when empty), and
  // waits until the guest has made it ttyUSB0. |id| gets the name to pull
  // it out by.
  bool PlugAdapter(const std::string& line, const std::string& serialNumber, std::string* id,
                   std::string* why);

  // Pulls adapter |id| out (QMP device_del), as a user pulls it from its
  // socket, and waits until QEMU has let it go.
  bool PullOutAdapter(const std::string& id, std::string* why);

  // After PullOutAdapter: waits until the guest has no ttyUSB0 any more
  // (every program has closed it), then frees the adapter's line.
  bool ReleaseAdapter(const std::string& id, std::string* why);

  // The console's last few kilobytes and QEMU's own output, for failures.
  std::string Transcript() const;

 private:
  bool ConnectSockets(milliseconds limit, std::string* why);
  bool ReadConsole(std::chrono::steady_clock::time_point deadline);
  bool ReadQmpLine(std::chrono::steady_clock::time_point deadline, std::string* line);
  void Stop();

  pid_t qemu_ = -1;
  int console_ = -1;
  int qmp_ = -1;
  std::filesystem::path workDir_;
  std::string consoleText_;  // console output not yet taken by an answer
  std::string transcript_;   // everything the console printed, the tail kept
  std::string qmpPending_;   // QMP bytes after the last full line
  std::vector<std::string> events_;
  int lastCommand_ = 0;
  std::chrono::steady_clock::time_point started_{};
  int nextAdapter_ = 1;
};

}  // namespace korvel_guest
