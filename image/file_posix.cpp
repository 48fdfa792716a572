// Files on POSIX: the primitives beneath ReadImage. Nothing of Windows here.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include "common/retry_posix.h"
#include "image/file.h"

FileHandle FileOpen(const char* path) {
  // Non-blocking, so that a FIFO without a writer does not hold up the run;
  // it then reads as an empty image.
  const int fd = RetryAfterSignal([&] { return open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK); });
  return fd < 0 ? kNoFile : fd;
}

int FileGetSize(FileHandle file, uint64_t* size) {
  struct stat info {};
  if (fstat(static_cast<int>(file), &info) != 0) return 0;
  // No file has a negative size; one that claims it is beyond every limit.
  *size = info.st_size < 0 ? UINT64_MAX : static_cast<uint64_t>(info.st_size);
  return 1;
}

int FileRead(FileHandle file, uint8_t* bytes, uint32_t length, uint32_t* got) {
  // A read may deliver less than asked for: read on until the file ends. A
  // directory fails here (EISDIR).
  *got = 0;
  while (*got < length) {
    const ssize_t count =
        RetryAfterSignal([&] { return read(static_cast<int>(file), bytes + *got, length - *got); });
    if (count < 0) return 0;
    if (count == 0) break;
    *got += static_cast<uint32_t>(count);
  }
  return 1;
}

void FileClose(FileHandle file) {
  close(static_cast<int>(file));
}
