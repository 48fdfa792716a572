// Durable replacement and exclusive locks on Windows: FlushFileBuffers and
// MoveFileEx with write-through; a file opened without sharing. Nothing of
// POSIX here.
#include <windows.h>

#include <string>

#include "tools/gang/durable_file.h"

namespace {

bool Fail(const std::string& what, std::string* error) {
  *error = what + " (system error " + std::to_string(GetLastError()) + ")";
  return false;
}

bool WriteAll(HANDLE file, std::string_view text) {
  while (!text.empty()) {
    DWORD written = 0;
    const DWORD chunk = text.size() > 0x10000000 ? 0x10000000 : static_cast<DWORD>(text.size());
    if (!WriteFile(file, text.data(), chunk, &written, nullptr) || written == 0) return false;
    text.remove_prefix(written);
  }
  return true;
}

}  // namespace

bool ReplaceFileDurably(const std::string& path, std::string_view text, std::string* error) {
  // 1. The temporary file beside the file, named after the process; a name
  // that the textfile collectors (windows_exporter: *.prom) pass over.
  const std::string temporary = path + "." + std::to_string(GetCurrentProcessId()) + ".tmp";
  HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE,
                            0,              // no sharing while it is written
                            nullptr,        // not inherited by the korvel children
                            CREATE_ALWAYS,  // a left-over one is replaced
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Fail("cannot write " + temporary, error);
  // 2. The content on the disk before the name points at it.
  const bool written = WriteAll(file, text) && FlushFileBuffers(file);
  const DWORD writeError = GetLastError();
  CloseHandle(file);
  if (!written) {
    DeleteFileA(temporary.c_str());
    SetLastError(writeError);
    return Fail("cannot write " + temporary, error);
  }
  // 3. The name: MOVEFILE_WRITE_THROUGH returns only once the move is on
  // the disk.
  if (!MoveFileExA(temporary.c_str(), path.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const bool failed = Fail("cannot replace " + path, error);
    DeleteFileA(temporary.c_str());
    return failed;
  }
  return true;
}

bool LockFileExclusively(const std::string& path, intptr_t* handle, std::string* error) {
  // A file opened with no sharing at all is the lock: a second open fails
  // with a sharing violation until this handle is closed, which the system
  // does when the process ends, however it ends.
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                            0,            // no sharing: the lock itself
                            nullptr,      // not inherited by the korvel children
                            OPEN_ALWAYS,  // made when missing
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const bool busy = GetLastError() == ERROR_SHARING_VIOLATION;
    const bool failed = Fail("cannot lock " + path, error);
    if (busy) *error = path + " is held by another korvel-gang";
    return failed;
  }
  *handle = reinterpret_cast<intptr_t>(file);
  return true;
}

void UnlockFile(intptr_t* handle) {
  if (*handle != -1) CloseHandle(reinterpret_cast<HANDLE>(*handle));
  *handle = -1;
}
