// The Windows adapter lookup: registry rows turned into the inventory, the
// shared matching fed with it, and the real inventory walk.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "serial/adapter.h"
#include "serial/comport_inventory.h"

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

struct LookupCase {
  const char* portName;
  int known;
};

void PrintTo(const LookupCase& c, std::ostream* out) {
  *out << '"' << c.portName << '"';
}

class AdapterLookup : public testing::TestWithParam<LookupCase> {};

TEST_P(AdapterLookup, AnswersFromTheInjectedInventory) {
  const std::vector<InventoryEntry> inventory = InventoryOf(SampleRows());
  EXPECT_EQ(MatchKnownAdapter(GetParam().portName, inventory), GetParam().known)
      << GetParam().portName;
}

INSTANTIATE_TEST_SUITE_P(Rows, AdapterLookup,
                         testing::Values(
                             // Two devices named COM7: the one with a mark is enough, and a later
                             // one without never turns the answer back.
                             LookupCase{"COM7", 1},
                             LookupCase{"\\\\.\\COM7", 1},  // the device prefix is skipped
                             LookupCase{"com7", 0},         // exact case only
                             LookupCase{"COM1", 0},         // present, but no mark
                             LookupCase{"COM9", 0},  // the marked device had no readable port name
                             LookupCase{"COM12", 1}, LookupCase{"COM3", 0},  // not present
                             LookupCase{"\\", 0},  // a lone backslash: nothing read past its end
                             LookupCase{"\\\\.", 0}));

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
