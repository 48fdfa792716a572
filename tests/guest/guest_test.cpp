// korvel against real kernel serial drivers: a QEMU guest boots Debian's
// kernel once, and every case runs korvel inside it, on an FTDI adapter
// through usbserial/ftdi_sio (ttyUSB0, with the sysfs tree of a real
// adapter), on a 16550 UART through the 8250 driver (ttyS1), or on a network
// port through the guest's network stack with netem. Behind each line a
// simulated device plays on a pseudo-terminal of the host; QEMU (or ser2net)
// passes the line rate set in the guest on to it. A case checks the
// exact lines and status inside the guest and what the device got.
//
// Nothing here passes by skipping: without QEMU, the kernel package or a
// pseudo-terminal every case fails with the reason.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/e2e/case_name.h"
#include "tests/e2e/expected_lines.h"
#include "tests/e2e/network_peers.h"
#include "tests/e2e/run_korvel.h"
#include "tests/e2e/simulated_device.h"
#include "tests/e2e/test_images.h"
#include "tests/guest/guest_machine.h"

namespace korvel_guest {
namespace {

using namespace korvel_e2e;
using korvel_e2e::PrintTo;
using Clock = std::chrono::steady_clock;

// Booting takes about 10 s under software emulation; a busy machine may
// take several times that.
constexpr milliseconds kBootLimit{120000};
// The longest korvel run here (a 4 KiB image) takes a few seconds.
constexpr milliseconds kRunLimit{60000};
// A pulled-out adapter hangs the line up at once: korvel must end well
// before even one reply budget (34 reads of 150 ms) could run out.
constexpr milliseconds kEndAfterUnplug{2000};

const char* const kTransfer = "serial/transfer.cpp";
const char* const kMessage = "bootloader/message.cpp";
const char* const kProgramming = "bootloader/programming.cpp";
const char* const kOpenSerial = "serial/open_serial.cpp";
const char* const kRun = "app/run.cpp";

// A device behind a line of the guest. korvel sets its line up in steps
// that each go through the guest's driver and QEMU (for the adapter, USB
// control transfers): milliseconds apart, tens of them on a busy machine.
// The device's firmware must see them all settle before it lets the
// activation string through, or it takes the rate of a step in between.
DevsimConfig GuestDevice(DevsimConfig config = {}) {
  config.settleTimeMs = 250;
  return config;
}

// Success once |device|'s firmware holds the line with no settings change
// pending (DevsimRecord::gateShut), so that korvel's own setup opens it.
// QEMU sets the line up itself when an adapter is plugged in; a gate still
// open from that lets korvel's activation string through as soon as it is
// written, and a device thread that runs late on a busy machine takes it
// at the rate read then.
::testing::AssertionResult GateShut(const SimulatedDevice& device) {
  const DevsimRecord record =
      device.WaitFor([](const DevsimRecord& now) { return now.gateShut; }, milliseconds(10000));
  if (record.gateShut) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "the device's line gate stays open: " << Describe(record);
}

// --- The images, as the guest finds them under /data -------------------------

// 16 blocks: a run of a second or two.
const Bytes& Firmware() {
  static const Bytes image = FirmwareImage(1024);
  return image;
}
// 64 full blocks: enough time to pull the adapter out in the middle.
const Bytes& LongFirmware() {
  static const Bytes image = FirmwareImage(4096);
  return image;
}
const Bytes& NetworkFirmware() {
  static const Bytes image = FirmwareImage(16384);
  return image;
}
const Bytes& Eeprom() {
  static const Bytes image = PatternImage(300);
  return image;
}

// --- The guest, booted once for every case -----------------------------------

struct Guest {
  TempDir dir;
  SimulatedDevice uart{GuestDevice()};  // behind ttyS1 for the whole run
  GuestMachine machine;
  std::string failure;  // why there is no guest; empty when it runs
};
Guest* guest = nullptr;

// Runs a helper script; false with its output in |why|.
bool RunScript(const std::string& script, const std::vector<std::string>& args, milliseconds limit,
               std::string* why) {
  RunOptions options;
  options.timeout = limit;
  const RunResult run = RunProgram(std::string(KORVEL_GUEST_SCRIPTS) + "/" + script, args, options);
  if (run.exitStatus == 0) return true;
  *why = script + " failed (status " + std::to_string(run.exitStatus) + "):\n" + run.out + run.err;
  return false;
}

bool BootGuest(Guest* booting, std::string* why) {
  // 1. Debian's kernel and busybox; scripts/test.sh fetches them first, a
  // suite run on its own fetches them when the cache has none.
  const std::string cache = KORVEL_GUEST_CACHE;
  if (!std::filesystem::exists(cache + "/kernel-version") &&
      !RunScript("fetch-packages.sh", {cache}, milliseconds(600000), why)) {
    return false;
  }
  // 2. The initramfs around the korvel just built, with the images.
  booting->dir.WriteFile("data/firmware.img", Firmware());
  booting->dir.WriteFile("data/firmware-long.img", LongFirmware());
  booting->dir.WriteFile("data/firmware-16k.img", NetworkFirmware());
  booting->dir.WriteFile("data/settings-eeprom.bin", Eeprom());
  if (!RunScript(
          "make-initramfs.sh",
          {cache, KorvelBinary(), (booting->dir / "data").string(), booting->dir.path().string(),
           CompanionBinary("korvel-ports"), CompanionBinary("korvel-gang")},
          milliseconds(120000), why)) {
    return false;
  }
  // 3. The boot.
  const Clock::time_point start = Clock::now();
  const GuestConfig config{booting->dir / "vmlinuz", booting->dir / "initramfs.cpio",
                           booting->uart.port(), booting->dir.path()};
  if (!booting->machine.Boot(config, kBootLimit, why)) return false;
  std::cout << "[ guest    ] booted in "
            << std::chrono::duration_cast<milliseconds>(Clock::now() - start).count() << " ms\n";
  return true;
}

class GuestEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    try {
      guest = new Guest;
    } catch (const std::exception& error) {  // no pseudo-terminal for ttyS1's device
      ADD_FAILURE() << error.what();
      return;
    }
    if (!BootGuest(guest, &guest->failure)) {
      if (guest->failure.empty()) guest->failure = "the guest did not boot";
      ADD_FAILURE() << guest->failure << "\n" << guest->machine.Transcript();
    }
  }
  void TearDown() override {
    delete guest;
    guest = nullptr;
  }
};
const ::testing::Environment* const kGuestEnvironment =
    ::testing::AddGlobalTestEnvironment(new GuestEnvironment);

::testing::AssertionResult GuestIsUp() {
  if (guest == nullptr)
    return ::testing::AssertionFailure() << "no guest: see the set-up's failure";
  if (!guest->failure.empty()) {
    return ::testing::AssertionFailure() << "no guest: " << guest->failure;
  }
  return ::testing::AssertionSuccess();
}

// A command's answer as a finished run, for the e2e comparisons.
RunResult AsRun(const GuestAnswer& answer) {
  RunResult run;
  run.timedOut = !answer.answered;
  run.exitStatus = answer.status;
  run.out = answer.out;
  run.err = answer.err;
  run.wallTime = answer.wallTime;
  return run;
}

// Success when the guest answered |command| with status 0; its output in
// |out|.
::testing::AssertionResult GuestRuns(const std::string& command, std::string* out = nullptr) {
  const GuestAnswer answer = guest->machine.Run(command, kRunLimit);
  if (!answer.answered) {
    return ::testing::AssertionFailure() << "no answer to: " << command << "\n"
                                         << guest->machine.Transcript();
  }
  if (answer.status != 0) {
    return ::testing::AssertionFailure() << command << ": status " << answer.status << "\n"
                                         << answer.out << answer.err;
  }
  if (out != nullptr) *out = answer.out;
  return ::testing::AssertionSuccess();
}

std::string KorvelCommand(const std::string& port, const std::vector<std::string>& args) {
  std::string command = "korvel " + port;
  for (const std::string& arg : args) command += " " + arg;
  return command;
}

// A fresh FTDI adapter with a fresh device behind it, plugged in for one
// case and pulled out at its end.
class PluggedAdapter {
 public:
  explicit PluggedAdapter(const DevsimConfig& config = {}, const std::string& serialNumber = "")
      : device_(GuestDevice(config)) {
    std::string why;
    plugged_ = guest->machine.PlugAdapter(device_.port(), serialNumber, &id_, &why);
    EXPECT_TRUE(plugged_) << why << "\n" << guest->machine.Transcript();
  }
  ~PluggedAdapter() {
    // One that never came is reported by the constructor.
    if (!plugged_) return;
    std::string why;
    if (!pulledOut_) PullOut();
    EXPECT_TRUE(guest->machine.ReleaseAdapter(id_, &why)) << why;
  }
  PluggedAdapter(const PluggedAdapter&) = delete;
  PluggedAdapter& operator=(const PluggedAdapter&) = delete;

  bool plugged() const { return plugged_; }
  SimulatedDevice& device() { return device_; }

  // What a user does who pulls the adapter out of its socket.
  void PullOut() {
    std::string why;
    pulledOut_ = true;
    EXPECT_TRUE(guest->machine.PullOutAdapter(id_, &why)) << why;
  }

 private:
  SimulatedDevice device_;
  std::string id_;
  bool plugged_ = false;
  bool pulledOut_ = false;
};

// The name udev gives an FTDI adapter's port under /dev/serial/by-id, made
// in the guest, which has no udev; answers with the link's path.
const char* const kMakeByIdLink =
    "d=/sys/class/tty/ttyUSB0/device/../..; "
    "name=$(echo \"usb-$(cat $d/manufacturer)_$(cat $d/product)_$(cat $d/serial)-if00-port0\""
    " | tr ' ' _); "
    "mkdir -p /dev/serial/by-id && ln -sf ../../ttyUSB0 \"/dev/serial/by-id/$name\" && "
    "printf '%s' \"/dev/serial/by-id/$name\"";

// --- Runs through the real drivers ------------------------------------------

// kNetwork: ser2net on this machine in front of a device of its own,
// reached from the guest over QEMU's user network with netem on the guest's
// interface.
enum class PortKind { kAdapter, kAdapterById, kUart, kNetwork };

// What the guest's network does to every packet it sends: 10 ms of delay
// with 5 ms of jitter, and one packet in a hundred lost.
// iproute2's tc: busybox's knows no netem.
const char* const kNetem = "/usr/sbin/tc qdisc replace dev eth0 root netem delay 10ms 5ms loss 1%";

struct DriverCase {
  const char* name;
  PortKind port;
  std::vector<std::string> args;  // after the port
  ExpectedLines lines;            // after the banner
  int status;
  // The rate the device saw the activation string at; 0 when nothing may
  // reach it.
  uint32_t activationBaud;
  // What the device must have been programmed with: the program command
  // and the image (none for a run that programs nothing).
  uint8_t code;
  Bytes image;
  // Set in korvel's environment: KORVEL_FAST=1 for fast replies.
  std::string environment = "";
};

class DriverTest : public ::testing::TestWithParam<DriverCase> {};

TEST_P(DriverTest, RunsAsOnAPseudoTerminal) {
  const DriverCase& param = GetParam();
  ASSERT_TRUE(GuestIsUp());
  std::unique_ptr<PluggedAdapter> adapter;
  std::unique_ptr<SimulatedDevice> served;
  std::unique_ptr<Ser2net> server;
  std::string port = "/dev/ttyS1";
  SimulatedDevice* device = &guest->uart;
  if (param.port == PortKind::kNetwork) {
    served = std::make_unique<SimulatedDevice>();
    server = std::make_unique<Ser2net>(served->port());
    device = served.get();
    port = "rfc2217://10.0.2.2:" + std::to_string(server->port());
    ASSERT_TRUE(GuestRuns(kNetem));
  } else if (param.port != PortKind::kUart) {
    adapter = std::make_unique<PluggedAdapter>();
    ASSERT_TRUE(adapter->plugged());
    device = &adapter->device();
    port = "ttyUSB0";  // the bare name, looked up under /dev and in sysfs
    if (param.port == PortKind::kAdapterById) {
      ASSERT_TRUE(GuestRuns(kMakeByIdLink, &port));
    }
  }

  ASSERT_TRUE(GateShut(*device));
  const DevsimRecord before = device->Snapshot();
  const std::string command = param.environment.empty()
                                  ? KorvelCommand(port, param.args)
                                  : param.environment + " " + KorvelCommand(port, param.args);
  const GuestAnswer answer = guest->machine.Run(command, kRunLimit);
  EXPECT_TRUE(RunIs(AsRun(answer), ExpectedLines{Banner()} + param.lines, param.status));
  std::cout << "[ run time ] " << param.name << ": " << answer.wallTime.count() << " ms\n";

  const bool programs = param.code != 0;
  const DevsimRecord seen =
      programs
          ? device->WaitFor([&](const DevsimRecord& now) { return now.resets > before.resets; })
          : device->Settled();
  const std::vector<ReceivedFrame> frames(
      seen.frames.begin() + static_cast<std::ptrdiff_t>(before.frames.size()), seen.frames.end());
  if (param.activationBaud != 0) {
    EXPECT_EQ(seen.activationBytes.size(), before.activationBytes.size() + 10) << Describe(seen);
    EXPECT_EQ(seen.activationBaud, param.activationBaud);
    EXPECT_EQ(seen.bootloaderBaud, 115200u);
    EXPECT_EQ(seen.bootloaderEntries, before.bootloaderEntries + 1);
  } else {
    EXPECT_EQ(seen.activationBytes.size(), before.activationBytes.size()) << Describe(seen);
  }
  if (programs) {
    EXPECT_TRUE(FramesAre(frames, RunFrames(param.image, param.code)));
    EXPECT_TRUE(HoldsImage(param.code == kProgramFlash ? seen.flash : seen.eeprom, param.image));
    EXPECT_EQ(seen.resets, before.resets + 1);
  } else {
    EXPECT_TRUE(frames.empty()) << Describe(seen);
    EXPECT_EQ(seen.resets, before.resets);
  }
  EXPECT_EQ(seen.corruptFrames, before.corruptFrames);
  EXPECT_EQ(seen.strayBytes, before.strayBytes);
}

const ExpectedLine kVersion24 = Line("Flashing firmware version 2.4.");

INSTANTIATE_TEST_SUITE_P(
    Guest, DriverTest,
    ::testing::Values(
        // ftdi_sio's port is a known adapter: its firmware is woken at
        // 3,000,000 baud, by bare name and through a by-id link alike.
        DriverCase{"FirmwareThroughTheAdapterByName",
                   PortKind::kAdapter,
                   {"/data/firmware.img"},
                   {Line("Bootloader activated."), kVersion24, Line("Firmware flashed.")},
                   0,
                   3000000,
                   kProgramFlash,
                   Firmware()},
        DriverCase{"FirmwareThroughTheAdapterByIdLink",
                   PortKind::kAdapterById,
                   {"/data/firmware.img"},
                   {Line("Bootloader activated."), kVersion24, Line("Firmware flashed.")},
                   0,
                   3000000,
                   kProgramFlash,
                   Firmware()},
        // 64 blocks each way, for the time fast replies save through the
        // driver's low-latency mode.
        DriverCase{"LongFirmwareThroughTheAdapter",
                   PortKind::kAdapter,
                   {"/data/firmware-long.img"},
                   {Line("Bootloader activated."), kVersion24, Line("Firmware flashed.")},
                   0,
                   3000000,
                   kProgramFlash,
                   LongFirmware()},
        DriverCase{"LongFirmwareThroughTheAdapterWithFastReplies",
                   PortKind::kAdapter,
                   {"/data/firmware-long.img"},
                   {Line("Bootloader activated."), kVersion24, Line("Firmware flashed.")},
                   0,
                   3000000,
                   kProgramFlash,
                   LongFirmware(),
                   "KORVEL_FAST=1"},
        DriverCase{"EepromFileThroughTheAdapter",
                   PortKind::kAdapter,
                   {"/data/settings-eeprom.bin"},
                   {Line("Bootloader activated."), Line("Eeprom flashed.")},
                   0,
                   3000000,
                   kProgramEeprom,
                   Eeprom()},
        DriverCase{"HwParamThroughTheAdapter",
                   PortKind::kAdapter,
                   {"HWPARM0112345"},
                   {Line("Bootloader activated."), Line("Eeprom flashed.")},
                   0,
                   3000000,
                   kProgramEeprom,
                   HwParamImageWith(0x01, 12345)},
        // STOP wakes the bootloader and sends nothing after the sync: no reset.
        DriverCase{"StopThroughTheAdapter",
                   PortKind::kAdapter,
                   {"STOP"},
                   {Line("Bootloader activated.")},
                   0,
                   3000000,
                   0,
                   {}},
        // A network port is no adapter either; 16 KiB through a network
        // that delays, jitters and loses.
        DriverCase{"FirmwareThroughSer2netOverANetworkWithNetem",
                   PortKind::kNetwork,
                   {"/data/firmware-16k.img"},
                   {Line("Bootloader activated."), kVersion24, Line("Firmware flashed.")},
                   0,
                   115200,
                   kProgramFlash,
                   NetworkFirmware()},
        // The 8250's port is no adapter: 115,200.
        DriverCase{"FirmwareThroughTheUart",
                   PortKind::kUart,
                   {"/data/firmware.img"},
                   {Line("Bootloader activated."), kVersion24, Line("Firmware flashed.")},
                   0,
                   115200,
                   kProgramFlash,
                   Firmware()},
        // The 8250 makes at most 115,200 baud from its clock; asked for
        // 3,000,000 it keeps its old rate, which korvel reads back and
        // refuses before anything is sent.
        DriverCase{
            "RateTheUartCannotMake",
            PortKind::kUart,
            {"/data/firmware.img", "3000000"},
            {Report(kOpenSerial, "SetCommState", EINVAL), Report(kRun, "OpenSerial", EINVAL)},
            255,
            0,
            0,
            {}}),
    CaseName<DriverCase>);

// --- The adapter by its serial number ------------------------------------------

// QEMU's FTDI adapter with a serial number of the test's: korvel-ports finds
// its port by the number, and korvel-gang flashes it by the number, with the
// number and the adapter's USB ids in its report.
TEST(GuestSerialNumber, PortsAndGangFindTheAdapterByItsSerialNumber) {
  ASSERT_TRUE(GuestIsUp());
  PluggedAdapter adapter({}, "KORVEL-SN-0042");
  ASSERT_TRUE(adapter.plugged());
  std::string port;
  ASSERT_TRUE(GuestRuns("korvel-ports --serial-number korvel-sn-0042", &port));
  EXPECT_EQ(port, "/dev/ttyUSB0\n");
  const GuestAnswer none =
      guest->machine.Run("korvel-ports --serial-number KORVEL-SN-0043", kRunLimit);
  EXPECT_EQ(none.status, 1) << none.out << none.err;

  ASSERT_TRUE(GateShut(adapter.device()));
  std::string reportText;
  ASSERT_TRUE(
      GuestRuns("korvel-gang /data/firmware.img --serial-number KORVEL-SN-0042 --log-dir "
                "/tmp/logs --json /tmp/report.json > /tmp/gang.out && cat /tmp/report.json",
                &reportText));
  const nlohmann::json report = nlohmann::json::parse(reportText, nullptr, false);
  ASSERT_FALSE(report.is_discarded()) << reportText;
  ASSERT_EQ(report["results"].size(), 1u);
  const nlohmann::json& result = report["results"][0];
  EXPECT_EQ(result["port"], "/dev/ttyUSB0");
  EXPECT_EQ(result["outcome"], "passed");
  EXPECT_EQ(result["serial_number"], "KORVEL-SN-0042");
  EXPECT_EQ(result["usb_ids"], "0403:6001");
  EXPECT_EQ(result["label"], "KORVEL-SN-0042");
  const DevsimRecord seen =
      adapter.device().WaitFor([](const DevsimRecord& now) { return now.resets > 0; });
  EXPECT_TRUE(HoldsImage(seen.flash, Firmware()));
  EXPECT_EQ(seen.activationBaud, 3000000u);  // a recognised adapter, as korvel itself decides
}

// --- An adapter pulled out in the middle of programming ----------------------

TEST(GuestUnplug, AdapterPulledOutWhileKorvelWaitsForAReplyEndsTheRunAtOnce) {
  // The device takes block 6 (message 6 after the erase) and never answers
  // it; the adapter goes while korvel waits. Pulled out while the device's
  // bytes pass through QEMU's adapter instead, QEMU 7.2 itself crashes
  // (segmentation fault) now and then on a busy machine: what korvel does
  // when the line goes between two blocks is left to the end-to-end tests.
  constexpr int kUnanswered = 6;
  ASSERT_TRUE(GuestIsUp());
  DevsimConfig config;
  config.replies[kUnanswered] = ReplyPlan{ReplyFault::kNoReply, {}, 0};
  PluggedAdapter adapter(config);
  ASSERT_TRUE(adapter.plugged());
  ASSERT_TRUE(GateShut(adapter.device()));
  ASSERT_TRUE(guest->machine.Start(KorvelCommand("ttyUSB0", {"/data/firmware-long.img"})));
  const DevsimRecord atUnplug = adapter.device().WaitFor(
      [](const DevsimRecord& now) { return now.frames.size() > kUnanswered; }, kRunLimit);
  ASSERT_GT(atUnplug.frames.size(), size_t{kUnanswered}) << Describe(atUnplug);
  const Clock::time_point pulled = Clock::now();
  adapter.PullOut();
  const GuestAnswer answer = guest->machine.Finish(kRunLimit);
  const auto ended = std::chrono::duration_cast<milliseconds>(Clock::now() - pulled);
  ASSERT_TRUE(answer.answered) << guest->machine.Transcript();
  EXPECT_LT(ended, kEndAfterUnplug);
  std::cout << "[ unplug   ] korvel ended " << ended.count() << " ms after the adapter went\n";

  // The hung-up line reads as end of file, which korvel reports as EIO.
  // Sent: the activation string, the erase and 6 blocks of 80 bytes; read:
  // 6 replies of 8 bytes.
  EXPECT_TRUE(RunIs(
      AsRun(answer),
      {Banner(), Line("Bootloader activated."), kVersion24, Report(kTransfer, "ReadFile", EIO),
       Report(kMessage, "MyReadFile", EIO), Report(kProgramming, "GetMessageAnswer", EIO),
       Line("Written: " + std::to_string(10 + 7 + 80 * kUnanswered) +
            ", Read: " + std::to_string(8 * kUnanswered)),
       Line("Flashing the firmware image failed.")},
      255));
  const DevsimRecord seen = adapter.device().Settled();
  EXPECT_EQ(seen.resets, 0);
  EXPECT_EQ(seen.flashWritten, 64u * kUnanswered);
  const Bytes programmed(LongFirmware().begin(), LongFirmware().begin() + 64 * kUnanswered);
  EXPECT_TRUE(HoldsImage(seen.flash, programmed));
}

// --- What a run leaves behind ------------------------------------------------
// Found: the port's line settings (stty -a) and ftdi_sio's latency timer.
// After a run they must read as before, except for HUPCL, which korvel
// leaves off so that closing the port does not drop DTR/RTS and reset a
// device left in its bootloader.

// A fresh port's line settings: 9600 baud, line editing, echo, CR/LF and
// flow-control handling, hang-up on close. stty's status is not looked at:
// it reports "cannot perform all requested operations" whenever the driver
// rewrites the input rate it was handed, which the 8250 does after a run
// has left the input rate at 115,200 (stty sets the output rate only). The
// state read next is what the run finds.
const std::string kCookedLine = "9600 brkint icrnl ixon opost isig icanon iexten echo hupcl; true";

struct LeftCase {
  const char* name;
  PortKind port;
  std::string prepare;  // puts the port into a known state
  std::string read;     // prints the state
};

// |word| as it must read after a run: "hupcl" off, and in stty -g's form
// (fields in hexadecimal, the third the control modes) the HUPCL bit clear.
std::string WithoutHangUp(const std::string& word) {
  constexpr unsigned long kHupcl = 02000;  // octal, as in the kernel's headers
  if (word == "hupcl") return "-hupcl";
  std::vector<std::string> fields;
  std::istringstream parts(word);
  for (std::string field; std::getline(parts, field, ':');) fields.push_back(field);
  if (fields.size() < 4) return word;
  std::ostringstream cflag;
  cflag << std::hex << (std::stoul(fields[2], nullptr, 16) & ~kHupcl);
  fields[2] = cflag.str();
  std::string joined;
  for (const std::string& field : fields) joined += (joined.empty() ? "" : ":") + field;
  return joined;
}

// Each word of |after| that differs from |before| (as it must read after a
// run) as "before -> after"; empty when none does.
std::string Changes(const std::string& before, const std::string& after) {
  std::istringstream was(before), now(after);
  std::vector<std::string> a, b;
  for (std::string word; was >> word;) a.push_back(WithoutHangUp(word));
  for (std::string word; now >> word;) b.push_back(word);
  std::string changes;
  for (size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
    const std::string x = i < a.size() ? a[i] : "<none>";
    const std::string y = i < b.size() ? b[i] : "<none>";
    if (x != y) changes += (changes.empty() ? "" : ", ") + x + " -> " + y;
  }
  return changes;
}

class LeftBehindTest : public ::testing::TestWithParam<LeftCase> {};

TEST_P(LeftBehindTest, PortAsFound) {
  const LeftCase& param = GetParam();
  ASSERT_TRUE(GuestIsUp());
  std::unique_ptr<PluggedAdapter> adapter;
  std::string port = "/dev/ttyS1";
  if (param.port != PortKind::kUart) {
    adapter = std::make_unique<PluggedAdapter>();
    ASSERT_TRUE(adapter->plugged());
    port = "/dev/ttyUSB0";
  }
  std::string before, after;
  ASSERT_TRUE(GuestRuns(param.prepare));
  ASSERT_TRUE(GuestRuns(param.read, &before));
  ASSERT_TRUE(GuestRuns(KorvelCommand(port, {"/data/firmware.img"})));
  ASSERT_TRUE(GuestRuns(param.read, &after));

  const std::string changes = Changes(before, after);
  EXPECT_EQ(changes, "") << "before:\n" << before << "after:\n" << after;
}

INSTANTIATE_TEST_SUITE_P(
    Guest, LeftBehindTest,
    ::testing::Values(LeftCase{"LineSettingsOfTheAdapter", PortKind::kAdapter,
                               "stty -F /dev/ttyUSB0 " + kCookedLine,
                               "stty -F /dev/ttyUSB0 -a && stty -F /dev/ttyUSB0 -g"},
                      // 16 ms: what an FTDI chip comes up with (QEMU's says 0). The run
                      // switches ftdi_sio to low latency (1 ms) and back; a timer set by
                      // hand to another value must come back too.
                      LeftCase{"LatencyTimerOfTheAdapter", PortKind::kAdapter,
                               "echo 16 > /sys/bus/usb-serial/devices/ttyUSB0/latency_timer",
                               "cat /sys/bus/usb-serial/devices/ttyUSB0/latency_timer"},
                      LeftCase{"LatencyTimerSetByHand", PortKind::kAdapter,
                               "echo 4 > /sys/bus/usb-serial/devices/ttyUSB0/latency_timer",
                               "cat /sys/bus/usb-serial/devices/ttyUSB0/latency_timer"},
                      LeftCase{"LineSettingsOfTheUart", PortKind::kUart,
                               "stty -F /dev/ttyS1 " + kCookedLine,
                               "stty -F /dev/ttyS1 -a && stty -F /dev/ttyS1 -g"}),
    CaseName<LeftCase>);

}  // namespace
}  // namespace korvel_guest
