// Loading image files through the Windows file primitives.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "image/image_file.h"

namespace {

// A file in the temporary folder, removed with the fixture.
class ImageFile : public testing::Test {
 protected:
  void SetUp() override {
    char folder[MAX_PATH];
    ASSERT_NE(GetTempPathA(MAX_PATH, folder), 0u);
    char name[MAX_PATH];
    ASSERT_NE(GetTempFileNameA(folder, "kvl", 0, name), 0u);
    path_ = name;
  }
  void TearDown() override { DeleteFileA(path_.c_str()); }

  void Write(const std::vector<uint8_t>& bytes) {
    FILE* file = std::fopen(path_.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
    std::fclose(file);
  }

  // Loads the file; returns the result and what was printed.
  int Load(ImageBuffer* image, std::string* output) {
    testing::internal::CaptureStdout();
    const int ok = ReadImage(path_.c_str(), image);
    *output = testing::internal::GetCapturedStdout();
    return ok;
  }

  std::string path_;
};

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 256);
  return bytes;
}

TEST_F(ImageFile, LoadsWholeFilesUpToTheLimitByteForByte) {
  for (size_t size : {size_t{0}, size_t{1}, size_t{65535}}) {
    const std::vector<uint8_t> bytes = Pattern(size);
    Write(bytes);
    ImageBuffer image;
    std::string output;
    ASSERT_EQ(Load(&image, &output), 1) << size;
    EXPECT_EQ(output, "");
    ASSERT_EQ(image.length, size);
    EXPECT_EQ(image.bytes, image.owned.get());
    EXPECT_EQ(std::vector<uint8_t>(image.bytes, image.bytes + image.length), bytes);
  }
}

TEST_F(ImageFile, FailuresReportTheirStepAndLeaveTheBufferEmpty) {
  struct Case {
    const char* what;
    std::string path;
    const char* step;
  };
  Write(Pattern(65536));
  char folder[MAX_PATH];
  GetTempPathA(MAX_PATH, folder);
  const std::vector<Case> cases = {
      {"65,536 bytes", path_, ") / File to big: ("},
      {"missing file", path_ + ".missing", ") / CreateFile: (2)"},
      {"a folder", folder, ") / CreateFile: ("},
  };
  for (const Case& c : cases) {
    ImageBuffer image;
    testing::internal::CaptureStdout();
    const int ok = ReadImage(c.path.c_str(), &image);
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(ok, 0) << c.what;
    EXPECT_EQ(output.rfind("image/image_file.cpp(", 0), 0u) << c.what << ": " << output;
    EXPECT_NE(output.find(c.step), std::string::npos) << c.what << ": " << output;
    EXPECT_EQ(image.bytes, nullptr) << c.what;
    EXPECT_EQ(image.length, 0u) << c.what;
  }
}

TEST_F(ImageFile, TheFileIsClosedAfterTheLoad) {
  Write(Pattern(100));
  ImageBuffer image;
  std::string output;
  ASSERT_EQ(Load(&image, &output), 1);
  // Deleting needs every handle on the file closed (none was opened with
  // delete sharing).
  EXPECT_TRUE(DeleteFileA(path_.c_str()));
}

}  // namespace
