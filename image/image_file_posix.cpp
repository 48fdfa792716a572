// Loading image files on POSIX. Nothing of Windows here.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <new>

#include "common/report.h"
#include "common/retry_posix.h"
#include "image/image_source.h"

namespace {

// Closes the file on every way out of the load.
struct FileCloser {
  int fd;
  ~FileCloser() {
    const int savedErrno = errno;
    close(fd);
    errno = savedErrno;
  }
};

// Reads exactly |length| bytes unless the file ends or fails first; returns
// how many bytes came.
ssize_t ReadWhole(int fd, uint8_t* bytes, uint32_t length) {
  uint32_t done = 0;
  while (done < length) {
    const ssize_t count = RetryAfterSignal([&] { return read(fd, bytes + done, length - done); });
    if (count < 0) return -1;
    if (count == 0) break;
    done += static_cast<uint32_t>(count);
  }
  return done;
}

}  // namespace

int ReadImage(const char* path, ImageBuffer* image) {
  *image = ImageBuffer{};

  // 1. Open for reading. Non-blocking, so that a FIFO without a writer does
  // not hold up the run; it then reads as an empty image.
  const int fd = RetryAfterSignal([&] { return open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK); });
  if (fd < 0) {
    ReportFailure("CreateFile");
    return 0;
  }
  FileCloser closer{fd};

  // 2./3. The size, within the limit.
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    ReportFailure("GetFileInformationByHandle");
    return 0;
  }
  if (info.st_size < 0 || info.st_size > static_cast<off_t>(kMaxImageSize)) {
    ReportFailure("File to big");
    return 0;
  }

  // 4. The whole file in one block of exactly its size. A directory, a file
  // that shrank since its size was read, or a failed read end the load.
  const auto length = static_cast<uint32_t>(info.st_size);
  std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[length > 0 ? length : 1]);
  if (!block || ReadWhole(fd, block.get(), length) != static_cast<ssize_t>(length)) {
    ReportFailure("Reading in the file failed");
    return 0;
  }

  // 5. Hand the block over; the file closes on the way out.
  image->bytes = block.get();
  image->length = length;
  image->owned = std::move(block);
  return 1;
}
