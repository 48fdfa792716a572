// The run start's decisions that need no port: the activation baud,
// whether a failed activation may be ignored, and the reply timing.
#include "app/run.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

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
  };
  for (const Case& c : cases) {
    const ActivationChoice choice =
        ChooseActivation(static_cast<int>(c.args.size()), c.args.data(), c.inventory);
    EXPECT_EQ(choice.baud, c.baud) << c.args[1] << " " << c.args.size() << " " << c.args.back();
    EXPECT_EQ(choice.forced, c.forced) << c.args[1] << " " << c.args.size() << " " << c.args.back();
  }
}

TEST(ChooseReplyTimingTest, FastOnlyForExactlyOne) {
  EXPECT_EQ(ChooseReplyTiming("1"), ReplyTiming::kFast);
  for (const char* other : {"", "0", "01", "1 ", " 1", "11", "yes", "true", "TRUE"}) {
    EXPECT_EQ(ChooseReplyTiming(other), ReplyTiming::kStandard) << '"' << other << '"';
  }
  EXPECT_EQ(ChooseReplyTiming(nullptr), ReplyTiming::kStandard);
}

}  // namespace
