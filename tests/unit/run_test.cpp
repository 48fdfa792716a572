// The run start's decisions that need no port: the activation baud,
// whether a failed activation may be ignored, the reply timing, and the
// progress channel that a program running korvel may ask for.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "app/arguments.h"
#include "common/progress.h"
#include "common/run_state.h"
#include "serial/adapter.h"

namespace {

TEST(ChooseActivationTest, BaudAndForcedFlagFromTheArguments) {
  // Ports as an inventory lists them: an FTDI adapter, which carries the
  // name its Windows driver gives it, and a plain UART.
  const std::vector<InventoryEntry> ports = {{"ttyUSB0", {"FT232R USB UART", "USB Serial Port"}},
                                             {"ttyS0", {}}};
  struct Case {
    std::vector<const char*> args;
    uint32_t baud;
    bool forced;
    // Where the port is looked up; the system's inventory when none. There
    // the port is a pseudo-terminal name no adapter carries.
    const std::vector<InventoryEntry>* inventory = nullptr;
  };
  const Case cases[] = {
      {{"korvel", "ptmx", "fw.img"}, 115200, false},
      {{"korvel", "ptmx", "fw.img", "FORCE"}, 115200, true},
      {{"korvel", "ptmx", "fw.img", "forceful"}, 115200, true},
      {{"korvel", "ptmx", "fw.img", "Force"}, 0, false},  // mixed case is a (bad) number
      {{"korvel", "ptmx", "fw.img", "9600"}, 9600, false},
      {{"korvel", "ptmx", "fw.img", "9600", "x"}, 9600, true},
      {{"korvel", "ptmx", "fw.img", "FORCE", "x"}, 115200, true},
      {{"korvel", "ptmx", "fw.img", "3000000"}, 3000000, false},
      {{"korvel", "ptmx", "fw.img", "-1"}, 4294967295u, false},
      // A known adapter's firmware is woken at 3,000,000 unless the
      // arguments say otherwise.
      {{"korvel", "ttyUSB0", "fw.img"}, 3000000, false, &ports},
      {{"korvel", "ttyUSB0", "STOP"}, 3000000, false, &ports},
      {{"korvel", "ttyUSB0", "fw.img", "9600"}, 9600, false, &ports},
      {{"korvel", "ttyUSB0", "fw.img", "FORCE"}, 115200, true, &ports},
      {{"korvel", "ttyS0", "fw.img"}, 115200, false, &ports},
      {{"korvel", "ttyUSB1", "fw.img"}, 115200, false, &ports},
      // A port on a device server is no adapter of this machine's.
      {{"korvel", "rfc2217://127.0.0.1:4000", "fw.img"}, 115200, false},
      {{"korvel", "rfc2217://127.0.0.1:4000", "fw.img", "9600"}, 9600, false},
  };
  for (const Case& c : cases) {
    const ActivationChoice choice =
        ChooseActivation(static_cast<int>(c.args.size()), c.args.data(), c.inventory);
    EXPECT_EQ(choice.baud, c.baud) << c.args[1] << " " << c.args.size() << " " << c.args.back();
    EXPECT_EQ(choice.forced, c.forced) << c.args[1] << " " << c.args.size() << " " << c.args.back();
  }
}

TEST(ChooseReplyTimingTest, FastOnlyForExactlyOneAndStreamForANetworkPort) {
  const PortTraits local = PortTraitsFor("/dev/ttyUSB0");
  const PortTraits network = PortTraitsFor("rfc2217://[::1]:4000");
  EXPECT_EQ(local.bytesPerWrite, 1u);
  EXPECT_GT(network.bytesPerWrite, 80u);  // a whole program message
  EXPECT_EQ(ChooseReplyTiming("1", local), ReplyTiming::kFast);
  for (const char* other : {"", "0", "01", "1 ", " 1", "11", "yes", "true", "TRUE"}) {
    EXPECT_EQ(ChooseReplyTiming(other, local), ReplyTiming::kStandard) << '"' << other << '"';
  }
  EXPECT_EQ(ChooseReplyTiming(nullptr, local), ReplyTiming::kStandard);
  for (const char* setting : {"1", "0", static_cast<const char*>(nullptr)}) {
    EXPECT_EQ(ChooseReplyTiming(setting, network), ReplyTiming::kStream);
  }
}

// The channel takes a descriptor number in digits alone, from 2 on, that is
// open for writing (a C runtime descriptor on Windows); its lines go there
// once erased and after every block, and a channel that is off writes
// nothing anywhere.
TEST(ProgressChannelTest, OpensOnlyAnOpenDescriptorAndWritesABlockLine) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  const std::string open = std::to_string(fileno(file));
  struct Case {
    const char* setting;
    bool on;
  };
  const Case cases[] = {
      {nullptr, false},     {"", false},   {"1", false},           {"0", false},    {"+3", false},
      {" 3", false},        {"3x", false}, {"99999999999", false}, {"4000", false},  // not open
      {open.c_str(), true},
  };
  for (const Case& row : cases) {
    EXPECT_EQ(ProgressChannelOpen(row.setting), row.on) << (row.setting ? row.setting : "unset");
    EXPECT_EQ(run.channel.descriptor >= 0, row.on);
  }

  // Begin keeps the totals; the lines come with the updates.
  ProgressBegin(3, 130);
  ProgressUpdate(0, 0);
  ProgressUpdate(2, 128);
  ProgressUpdate(3, 130);
  ProgressEnd();
  ProgressChannelOpen(nullptr);
  ProgressUpdate(3, 130);  // off again: nothing more
  std::rewind(file);
  char text[256] = {};
  const size_t length = std::fread(text, 1, sizeof text - 1, file);
  std::fclose(file);
  EXPECT_EQ(std::string(text, length),
            "block 0/3 bytes 0/130\nblock 2/3 bytes 128/130\nblock 3/3 bytes 130/130\n");
}

TEST(ProgressChannelTest, ReadsBackOnlyItsOwnLines) {
  struct Case {
    const char* line;
    bool parsed;
    uint32_t blocksDone = 0, totalBlocks = 0, bytesDone = 0, totalBytes = 0;
  };
  const Case cases[] = {
      {"block 12/1024 bytes 768/65535\n", true, 12, 1024, 768, 65535},
      {"block 0/0 bytes 0/0", true, 0, 0, 0, 0},
      {"block 1/2 bytes 3/4294967295", true, 1, 2, 3, 4294967295u},
      {"block 1/2 bytes 3/4294967296", false},  // beyond 32 bits
      {"block 1/2 bytes 3/4 ", false},
      {"block -1/2 bytes 3/4", false},
      {"block 1/2", false},
      {"Firmware flashed.", false},
      {"", false},
  };
  for (const Case& row : cases) {
    ProgressState state;
    state.blocksDone = 77;
    EXPECT_EQ(ParseProgressChannelLine(row.line, &state), row.parsed) << row.line;
    if (!row.parsed) {
      EXPECT_EQ(state.blocksDone, 77u) << row.line;  // untouched
      continue;
    }
    EXPECT_EQ(state.blocksDone, row.blocksDone);
    EXPECT_EQ(state.totalBlocks, row.totalBlocks);
    EXPECT_EQ(state.bytesDone, row.bytesDone);
    EXPECT_EQ(state.totalBytes, row.totalBytes);
    EXPECT_EQ(ProgressChannelLine(state),
              std::string(row.line).substr(0, std::string(row.line).find('\n')) + "\n");
  }
}

}  // namespace
