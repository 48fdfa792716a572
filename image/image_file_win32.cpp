// Loading image files on Windows. Nothing of POSIX here.
#include <windows.h>

#include <memory>
#include <new>

#include "common/report.h"
#include "image/image_source.h"

namespace {

// Closes the file on every way out of the load, keeping the error code
// that a report after it prints.
struct FileCloser {
  HANDLE file;
  ~FileCloser() {
    const DWORD savedError = GetLastError();
    CloseHandle(file);
    SetLastError(savedError);
  }
};

}  // namespace

int ReadImage(const char* path, ImageBuffer* image) {
  *image = ImageBuffer{};

  // 1. Open for reading; others may read the file meanwhile.
  HANDLE file = CreateFileA(path, GENERIC_READ,
                            FILE_SHARE_READ,  // others may read, not write
                            nullptr,          // no security attributes
                            OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL,  // synchronous reads
                            nullptr);               // no template file
  if (file == INVALID_HANDLE_VALUE) {
    ReportFailure("CreateFile");
    return 0;
  }
  FileCloser closer{file};

  // 2./3. The size, within the limit; the high half counts too.
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) {
    ReportFailure("GetFileInformationByHandle");
    return 0;
  }
  if (info.nFileSizeHigh != 0 || info.nFileSizeLow > kMaxImageSize) {
    ReportFailure("File to big");
    return 0;
  }

  // 4. The whole file in one block of exactly its size, with one read. A
  // file that shrank since its size was read delivers fewer bytes.
  const uint32_t length = info.nFileSizeLow;
  std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[length > 0 ? length : 1]);
  DWORD got = 0;
  if (!block || !ReadFile(file, block.get(), length, &got, nullptr) || got != length) {
    ReportFailure("Reading in the file failed");
    return 0;
  }

  // 5. Hand the block over; the file closes on the way out.
  image->bytes = block.get();
  image->length = length;
  image->owned = std::move(block);
  return 1;
}
