// The run start's decisions that need no port: the activation baud and
// whether a failed activation may be ignored.
#include "app/run.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

TEST(ChooseActivationTest, BaudAndForcedFlagFromTheArguments) {
  struct Case {
    std::vector<const char*> args;
    uint32_t baud;
    bool forced;
  };
  // The port is a pseudo-terminal name no adapter carries, so the lookup
  // (made only without a third argument) answers no.
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
  };
  for (const Case& c : cases) {
    const ActivationChoice choice =
        ChooseActivation(static_cast<int>(c.args.size()), c.args.data());
    EXPECT_EQ(choice.baud, c.baud) << c.args.size() << " " << c.args.back();
    EXPECT_EQ(choice.forced, c.forced) << c.args.size() << " " << c.args.back();
  }
}

}  // namespace
