// The line's records beneath korvel-gang, the same on every platform: the
// SHA-256 of the platform's crypto library, files replaced whole and locked,
// and the unit counter that never gives a number twice. Built into the
// Windows tests as well.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/gang/durable_file.h"
#include "tools/gang/sequence.h"
#include "tools/gang/sha256.h"

namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// A fresh folder for one test, removed with what it holds.
class RecordsFolder : public testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() /
              ("korvel-records-" +
               std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }
  fs::path folder_;
};

// FIPS 180-2's examples, the empty text, and lengths around the 64-byte
// block and its 56-byte padding limit.
TEST(Sha256Test, DigestsOfTheStandardsExamples) {
  const struct {
    std::string text;
    const char* digest;
  } rows[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& row : rows) {
    const std::vector<uint8_t> bytes(row.text.begin(), row.text.end());
    EXPECT_EQ(Sha256Hex(bytes), row.digest) << row.text.size() << " bytes";
  }
}

TEST_F(RecordsFolder, AFileIsReplacedWholeAndNothingIsLeftBeside) {
  const fs::path path = folder_ / "report.json";
  std::string error;
  ASSERT_TRUE(ReplaceFileDurably(path.string(), "first, and longer\n", &error)) << error;
  ASSERT_TRUE(ReplaceFileDurably(path.string(), "second\n", &error)) << error;
  EXPECT_EQ(ReadAll(path), "second\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 1);

  // A folder that is not there: a reason, and nothing made.
  EXPECT_FALSE(ReplaceFileDurably((folder_ / "none" / "r.json").string(), "x", &error));
  EXPECT_NE(error.find("none"), std::string::npos) << error;
  EXPECT_FALSE(fs::exists(folder_ / "none"));
}

TEST_F(RecordsFolder, ALockIsThisProcesssAloneUntilLetGo) {
  const std::string path = (folder_ / "counter.lock").string();
  intptr_t first = -1;
  intptr_t second = -1;
  std::string error;
  ASSERT_TRUE(LockFileExclusively(path, &first, &error)) << error;
  EXPECT_FALSE(LockFileExclusively(path, &second, &error));
  EXPECT_NE(error.find("held by another korvel-gang"), std::string::npos) << error;
  EXPECT_EQ(second, -1);
  UnlockFile(&first);
  EXPECT_EQ(first, -1);
  EXPECT_TRUE(LockFileExclusively(path, &second, &error)) << error;
  UnlockFile(&second);
}

TEST(SequenceOptionTest, TakesTwoHexadecimalDigitsButFFAndAFile) {
  const struct {
    const char* text;
    bool taken;
    const char* parameter;
    const char* path;
  } rows[] = {
      {"01:counter.txt", true, "01", "counter.txt"},
      {"a0:/var/lib/line/next", true, "a0", "/var/lib/line/next"},
      {"7F:c:\\line\\next.txt", true, "7F", "c:\\line\\next.txt"},  // a Windows path
      {"FF:counter.txt", false, "", ""},  // korvel's "no parameters": a file name
      {"ff:counter.txt", false, "", ""},
      {"0G:counter.txt", false, "", ""},
      {"1:counter.txt", false, "", ""},
      {"01:", false, "", ""},
      {"01counter.txt", false, "", ""},
  };
  for (const auto& row : rows) {
    SequenceCounter counter;
    std::string problem;
    EXPECT_EQ(ParseSequenceOption(row.text, &counter, &problem), row.taken) << row.text;
    if (row.taken) {
      EXPECT_EQ(counter.parameter, row.parameter);
      EXPECT_EQ(counter.path, row.path);
    } else {
      EXPECT_NE(problem, "") << row.text;
    }
  }
}

TEST_F(RecordsFolder, TheCounterGivesEachNumberOnceAndMovesOnFirst) {
  const fs::path path = folder_ / "next";
  std::ofstream(path) << "  4294967292\r\n";  // blanks around it, as an editor leaves them
  SequenceCounter counter;
  std::string problem;
  ASSERT_TRUE(ParseSequenceOption("0a:" + path.string(), &counter, &problem)) << problem;
  ASSERT_TRUE(OpenSequence(&counter, &problem)) << problem;
  // A second gang can't have it while this one does.
  SequenceCounter other = counter;
  other.lock = -1;
  EXPECT_FALSE(OpenSequence(&other, &problem));

  uint32_t number = 0;
  ASSERT_TRUE(TakeSequenceNumber(&counter, &number, &problem)) << problem;
  EXPECT_EQ(number, 4294967292u);
  EXPECT_EQ(ReadAll(path), "4294967293\n");  // on the disk before the run has it
  EXPECT_EQ(SequenceArgument(counter, number), "HWPARM0a4294967292");
  ASSERT_TRUE(TakeSequenceNumber(&counter, &number, &problem)) << problem;
  ASSERT_TRUE(TakeSequenceNumber(&counter, &number, &problem)) << problem;
  EXPECT_EQ(number, 4294967294u);
  // Used up: the file can't hold the number after 4294967295's.
  EXPECT_FALSE(TakeSequenceNumber(&counter, &number, &problem));
  EXPECT_NE(problem.find("used up"), std::string::npos) << problem;
  EXPECT_EQ(ReadAll(path), "4294967295\n");
  CloseSequence(&counter);

  // A file that holds no number, or none at all, gives none.
  for (const char* text : {"", "12a\n", "-1\n", "4294967296\n", "1 2\n"}) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    EXPECT_FALSE(TakeSequenceNumber(&counter, &number, &problem)) << text;
    EXPECT_EQ(ReadAll(path), text);
  }
  fs::remove(path);
  EXPECT_FALSE(OpenSequence(&other, &problem));
  CloseSequence(&other);
}

}  // namespace
