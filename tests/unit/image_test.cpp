// Image sources: files within their size limit, the firmware marker and the
// built-in hardware-parameter image.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/run_state.h"
#include "image/firmware.h"
#include "image/hwparam.h"
#include "image/image_file.h"

namespace {

ImageBuffer View(const std::string& bytes) {
  ImageBuffer image;
  image.bytes = reinterpret_cast<const uint8_t*>(bytes.data());
  image.length = static_cast<uint32_t>(bytes.size());
  return image;
}

// What CheckFirmwareImage prints for |bytes|, and its result.
std::string CheckPrints(const std::string& bytes, int* result) {
  testing::internal::CaptureStdout();
  *result = CheckFirmwareImage(View(bytes));
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

TEST(CheckFirmwareImageTest, FindsTheMarkerOnlyWhollyInsideTheImage) {
  using std::string_literals::operator""s;
  int result = -1;
  EXPECT_EQ(CheckPrints("abc!Tavlo 2.4\0rest"s, &result), "Flashing firmware version 2.4.\n");
  EXPECT_EQ(result, 1);

  // Marker ends with the last byte: found, empty version.
  EXPECT_EQ(CheckPrints("xx!Tavlo "s, &result), "Flashing firmware version .\n");
  EXPECT_EQ(result, 1);

  // Marker starts 3 bytes before the end: not a firmware image.
  EXPECT_EQ(CheckPrints("xxxxxxxx!Ta"s, &result), "");
  EXPECT_EQ(result, 0);

  // No NUL after the version: the text ends with the image.
  EXPECT_EQ(CheckPrints("!Tavlo 3.1-rc"s, &result), "Flashing firmware version 3.1-rc.\n");
  EXPECT_EQ(result, 1);

  // The first occurrence wins.
  EXPECT_EQ(CheckPrints("!Tavlo 1.0\0!Tavlo 9.9\0"s, &result), "Flashing firmware version 1.0.\n");

  // Near misses and short images.
  EXPECT_EQ(CheckPrints("!tavlo 1.0\0"s, &result), "");
  EXPECT_EQ(CheckPrints("!Tavlo"s, &result), "");
  EXPECT_EQ(CheckPrints(""s, &result), "");
  EXPECT_EQ(result, 0);
}

TEST(CheckFirmwareImageTest, NeverReadsPastTheImage) {
  // The image is a prefix of a longer buffer: the version must stop at the
  // image's end although a NUL only comes later.
  const std::string buffer = std::string("!Tavlo 7.7") + "SECRET" + std::string(1, '\0');
  ImageBuffer image = View(buffer);
  image.length = 10;
  testing::internal::CaptureStdout();
  EXPECT_EQ(CheckFirmwareImage(image), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Flashing firmware version 7.7.\n");
}

TEST(CheckFirmwareImageTest, PrintsControlBytesOfTheVersionAsQuestionMarks) {
  using std::string_literals::operator""s;
  int result = -1;
  // CR, LF, ESC, TAB, DEL and 0x01 would split the line or drive the
  // terminal; UTF-8 (here "ü", C3 BC) and plain text stay as they are.
  EXPECT_EQ(CheckPrints("!Tavlo 2.4\r\nFAKE\x1b[2J\t\x7f\x01 \xc3\xbc~\0"s, &result),
            "Flashing firmware version 2.4??FAKE?[2J??? \xc3\xbc~.\n");
  EXPECT_EQ(result, 1);
}

class HwParamTest : public testing::Test {
 protected:
  void SetUp() override {
    for (size_t i = 0; i < image_.size(); ++i) image_[i] = i < 256 ? 0xFF : 0x00;
  }
  std::vector<uint8_t> Head() const { return {image_.begin(), image_.begin() + 5}; }
  bool RestUntouched() const {
    for (size_t i = 5; i < image_.size(); ++i) {
      if (image_[i] != (i < 256 ? 0xFF : 0x00)) return false;
    }
    return true;
  }
  HwParamBlock& image_ = run.hwParamImage;
};

TEST_F(HwParamTest, FillsTheParameterByteAndTheNumber) {
  SetHwParams("HWPARM0112345");
  EXPECT_EQ(Head(), (std::vector<uint8_t>{0x01, 0x39, 0x30, 0x00, 0x00}));
  EXPECT_TRUE(RestUntouched());

  SetHwParams("hwparmA0 7");  // a blank before the number is skipped
  EXPECT_EQ(Head(), (std::vector<uint8_t>{0xA0, 0x07, 0x00, 0x00, 0x00}));

  SetHwParams("HWPARMFF1");  // 0xFF: counts as no parameters given
  EXPECT_EQ(Head(), (std::vector<uint8_t>{0xFF, 0x01, 0x00, 0x00, 0x00}));

  SetHwParams("HWPARMff-1");
  EXPECT_EQ(Head(), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));

  SetHwParams("HWPARMG5x");  // non-digit in the 7th place, no digits after
  EXPECT_EQ(Head(), (std::vector<uint8_t>{0x00, 0x00, 0x00, 0x00, 0x00}));

  SetHwParams("HWPARM5G99999999999");  // reading stops at G; number saturates
  EXPECT_EQ(Head(), (std::vector<uint8_t>{0x05, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_TRUE(RestUntouched());
}

// A scratch folder for image files, removed with everything in it.
class ReadImageTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/korvel-image-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  std::string Write(const std::string& name, size_t size) {
    const std::string path = dir_ + "/" + name;
    std::ofstream file(path, std::ios::binary);
    for (size_t i = 0; i < size; ++i) file.put(static_cast<char>(i * 31 + 7));
    return path;
  }

  // Loads |path|; returns the printed report lines.
  std::string Load(const std::string& path, ImageBuffer* image, int* result) {
    testing::internal::CaptureStdout();
    *result = ReadImage(path.c_str(), image);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
  }

  std::string dir_;
};

TEST_F(ReadImageTest, LoadsWholeFilesUpTo65535Bytes) {
  for (size_t size : {size_t{0}, size_t{1}, size_t{100}, size_t{65535}}) {
    ImageBuffer image;
    int result = 0;
    EXPECT_EQ(Load(Write("image.bin", size), &image, &result), "");
    ASSERT_EQ(result, 1);
    ASSERT_EQ(image.length, size);
    ASSERT_NE(image.bytes, nullptr);
    EXPECT_EQ(image.bytes, image.owned.get());
    for (size_t i = 0; i < size; ++i) {
      ASSERT_EQ(image.bytes[i], static_cast<uint8_t>(i * 31 + 7)) << i;
    }
  }
}

// The step of a report line "file(line) / step: (code)".
std::string StepOf(const std::string& output) {
  const size_t start = output.find(" / ");
  const size_t end = output.find(": (");
  if (start == std::string::npos || end == std::string::npos) return output;
  return output.substr(start + 3, end - start - 3);
}

TEST_F(ReadImageTest, RefusesWhatCannotBeLoadedWholeWithAReport) {
  const std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    std::string path;
    const char* step;
  };
  const Case cases[] = {
      {dir_ + "/missing.img", "CreateFile"},
      {Write("big.img", 65536), "File to big"},
      {dir_, "Reading in the file failed"},  // a directory
  };
  for (const Case& c : cases) {
    ImageBuffer image;
    int result = 1;
    EXPECT_EQ(StepOf(Load(c.path, &image, &result)), c.step) << c.path;
    EXPECT_EQ(result, 0);
    EXPECT_EQ(image.bytes, nullptr);
    EXPECT_EQ(image.length, 0u);
    EXPECT_EQ(image.owned, nullptr);
  }

  // A FIFO without a writer must not hold the run up: it reads as empty.
  ImageBuffer image;
  int result = 0;
  EXPECT_EQ(Load(fifo, &image, &result), "");
  EXPECT_EQ(result, 1);
  EXPECT_EQ(image.length, 0u);
}

}  // namespace
