// Files on Windows: the primitives beneath ReadImage. Nothing of POSIX here.
#include <windows.h>

#include <cstdint>

#include "image/file.h"

namespace {

HANDLE AsHandle(FileHandle file) {
  return reinterpret_cast<HANDLE>(file);
}

}  // namespace

FileHandle FileOpen(const char* path) {
  HANDLE file = CreateFileA(path, GENERIC_READ,
                            FILE_SHARE_READ,  // others may read, not write
                            nullptr,          // no security attributes
                            OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL,  // synchronous reads
                            nullptr);               // no template file
  return file == INVALID_HANDLE_VALUE ? kNoFile : reinterpret_cast<FileHandle>(file);
}

int FileGetSize(FileHandle file, uint64_t* size) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(AsHandle(file), &info)) return 0;
  // The high half counts too: a file of 4 GiB and more is not small.
  *size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  return 1;
}

int FileRead(FileHandle file, uint8_t* bytes, uint32_t length, uint32_t* got) {
  // One call: a synchronous read of a disk file delivers all it can.
  DWORD count = 0;
  const BOOL ok = ReadFile(AsHandle(file), bytes, length, &count,
                           nullptr);  // not overlapped
  *got = count;
  return ok ? 1 : 0;
}

void FileClose(FileHandle file) {
  CloseHandle(AsHandle(file));
}
