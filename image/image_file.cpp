// Loading image files, written once over the file primitives of file.h.
#include "image/image_file.h"

#include <memory>
#include <new>

#include "common/report.h"
#include "common/system.h"
#include "image/file.h"

namespace {

// Closes the file on every way out of the load, keeping the error code
// of the step that failed for the report after it.
struct FileCloser {
  FileHandle file;
  ~FileCloser() {
    SystemErrorGuard keepError;
    FileClose(file);
  }
};

}  // namespace

int LoadImageFile(const char* path, ImageBuffer* image, const char** failedStep) {
  *image = ImageBuffer{};

  // 1. Open for reading; others may read the file meanwhile.
  const FileHandle file = FileOpen(path);
  if (file == kNoFile) {
    *failedStep = "CreateFile";
    return 0;
  }
  FileCloser closer{file};

  // 2. The size, within the limit.
  uint64_t size = 0;
  if (!FileGetSize(file, &size)) {
    *failedStep = "GetFileInformationByHandle";
    return 0;
  }
  if (size > kMaxImageSize) {
    *failedStep = "File to big";
    return 0;
  }

  // 3. The whole file in one block of exactly its size. A directory, a file
  // that shrank since its size was read, or a failed read end the load.
  const auto length = static_cast<uint32_t>(size);
  std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[length > 0 ? length : 1]);
  uint32_t got = 0;
  if (!block || !FileRead(file, block.get(), length, &got) || got != length) {
    *failedStep = "Reading in the file failed";
    return 0;
  }

  // 4. Hand the block over; the file closes on the way out.
  image->bytes = block.get();
  image->length = length;
  image->owned = std::move(block);
  return 1;
}

int ReadImage(const char* path, ImageBuffer* image) {
  // The closed file left the failing step's error code in place.
  const char* failedStep = nullptr;
  if (LoadImageFile(path, image, &failedStep)) return 1;
  ReportFailure(failedStep);
  return 0;
}
