// The Windows port inventory: registry rows turned into inventory entries,
// and the real inventory walk. The matching rules have their own table,
// shared with the native tests (tests/unit/adapter_test.cpp).
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "serial/adapter.h"
#include "serial/inventory_win32.h"

namespace {

RegistryText Text(const char* text) {
  RegistryText value;
  value.read = true;
  std::memcpy(value.bytes, text, std::strlen(text) + 1);
  value.size = static_cast<uint32_t>(std::strlen(text) + 1);
  return value;
}

RegistryText Unreadable() {
  return RegistryText{};
}

std::vector<InventoryEntry> InventoryOf(const std::vector<ComPortRow>& rows) {
  std::vector<InventoryEntry> inventory;
  for (const ComPortRow& row : rows) AddComPortRow(row, &inventory);
  return inventory;
}

// What a machine might list: an on-board port, an adapter, a second device
// on the same port name (a stale entry), and devices whose registry
// entries can't be read.
std::vector<ComPortRow> SampleRows() {
  return {
      {Text("COM1"), Text("Communications Port (COM1)")},
      {Text("COM7"), Text("Communications Port (COM7)")},
      {Text("COM7"), Text("USB Serial Port (COM7)")},
      {Unreadable(), Text("Orvane Adapter (COM9)")},  // no readable port name
      {Text("COM9"), Unreadable()},                   // no readable friendly name
      {Text("COM12"), Text("Tavlo CAN Channel 1 (COM12)")},
  };
}

TEST(ComPortRows, UnreadableEntriesAreSkippedAndTheRestKeepTheirNames) {
  const std::vector<InventoryEntry> inventory = InventoryOf(SampleRows());
  ASSERT_EQ(inventory.size(), 5u);
  EXPECT_EQ(inventory[0].portName, "COM1");
  EXPECT_EQ(inventory[2].friendlyNames, std::vector<std::string>{"USB Serial Port (COM7)"});
  // The device without a readable port name is gone; the one without a
  // readable friendly name stays, with no name to match.
  EXPECT_EQ(inventory[3].portName, "COM9");
  EXPECT_TRUE(inventory[3].friendlyNames.empty());
  EXPECT_EQ(inventory[4].portName, "COM12");
  // So the mark of the device without a port name helps no port, and the
  // rows match as the shared rules say.
  EXPECT_EQ(MatchKnownAdapter("COM9", inventory), 0);
  EXPECT_EQ(MatchKnownAdapter("COM7", inventory), 1);
  EXPECT_EQ(MatchKnownAdapter("COM12", inventory), 1);
}

TEST(ComPortRows, RegistryTextStopsAtItsNulAndNeverPassesItsBuffer) {
  // A value stored without its NUL, filling the whole buffer.
  RegistryText full;
  full.read = true;
  std::memset(full.bytes, 'A', sizeof(full.bytes));
  full.size = sizeof(full.bytes);
  EXPECT_EQ(RegistryTextValue(full), std::string(kRegistryTextSize, 'A'));

  // A reported size beyond the buffer (a value too long for it).
  full.size = 4000;
  EXPECT_EQ(RegistryTextValue(full).size(), kRegistryTextSize);

  // A size that ends before the NUL, and bytes after the NUL.
  RegistryText shortSize = Text("COM7");
  shortSize.size = 4;
  EXPECT_EQ(RegistryTextValue(shortSize), "COM7");
  RegistryText trailing = Text("COM7");
  std::memcpy(trailing.bytes + 5, "XYZ", 4);
  trailing.size = 9;
  EXPECT_EQ(RegistryTextValue(trailing), "COM7");
}

TEST(InventoryWalk, AnswersNoForAnUnknownPortWithoutReportOrTrace) {
  testing::internal::CaptureStdout();
  SetLastError(1234);
  const int known = IsKnownAdapterPort("KORVEL-NO-SUCH-PORT");
  const DWORD error = GetLastError();
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_EQ(known, 0);
  EXPECT_EQ(output, "");
  EXPECT_EQ(error, 1234u);
}

}  // namespace
