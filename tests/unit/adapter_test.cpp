// Recognising known adapters: the matching rules, the same on every
// platform. Built into the Windows tests as well.
#include "serial/adapter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(MatchKnownAdapterTest, ExactPortNameAndAnyMarkInAFriendlyName) {
  const std::vector<InventoryEntry> inventory = {
      {"COM3", {"Communications Port (COM3)"}},
      {"COM7", {"Generic modem (COM7)"}},
      {"COM7", {"USB Serial Port (COM7)"}},  // same port name twice: one mark is enough
      {"COM8", {"Orvane adapter"}},
      {"COM9", {"Tavlo CAN Channel 2"}},
      {"COM10", {"usb serial port"}},  // marks are case-sensitive
      {"COM11", {}},                   // friendly name unreadable
  };
  EXPECT_EQ(MatchKnownAdapter("COM7", inventory), 1);
  EXPECT_EQ(MatchKnownAdapter("COM8", inventory), 1);
  EXPECT_EQ(MatchKnownAdapter("COM9", inventory), 1);
  EXPECT_EQ(MatchKnownAdapter("COM3", inventory), 0);
  EXPECT_EQ(MatchKnownAdapter("COM10", inventory), 0);
  EXPECT_EQ(MatchKnownAdapter("COM11", inventory), 0);
  EXPECT_EQ(MatchKnownAdapter("com7", inventory), 0);  // exact case
  EXPECT_EQ(MatchKnownAdapter("COM", inventory), 0);   // whole string
  EXPECT_EQ(MatchKnownAdapter("COM77", inventory), 0);
  EXPECT_EQ(MatchKnownAdapter("COM1", inventory), 0);         // not present
  EXPECT_EQ(MatchKnownAdapter("\\\\.\\COM7", inventory), 1);  // device prefix skipped
  // Names that begin with a backslash but are shorter than the prefix are
  // compared without reading past their end.
  EXPECT_EQ(MatchKnownAdapter("\\", inventory), 0);
  EXPECT_EQ(MatchKnownAdapter("\\\\.", inventory), 0);
  EXPECT_EQ(MatchKnownAdapter("", inventory), 0);
}

}  // namespace
