// Durable replacement and exclusive locks on POSIX: fsync, rename and the
// folder's fsync; flock. Nothing of Windows here.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "common/retry_posix.h"
#include "tools/gang/durable_file.h"

namespace {

bool Fail(const std::string& what, std::string* error) {
  *error = what + ": " + std::strerror(errno);
  return false;
}

bool WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = RetryAfterSignal([&] { return write(fd, text.data(), text.size()); });
    if (written <= 0) return false;
    text.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

// Makes the folder's entry for a renamed file durable: a rename lives in the
// folder, and fsync on the file alone does not cover it.
bool SyncFolder(const std::string& path) {
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  const int fd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = fsync(fd) == 0;
  close(fd);
  return synced;
}

}  // namespace

bool ReplaceFileDurably(const std::string& path, std::string_view text, std::string* error) {
  // 1. The temporary file beside the file, so that the rename stays on one
  // file system; named after the process, so that two gangs never share it.
  // A name that ends in neither .json nor .prom: collectors that read the
  // folder (node_exporter's textfile collector) pass it over.
  const std::string temporary = path + "." + std::to_string(getpid()) + ".tmp";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return Fail("cannot write " + temporary, error);
  // 2. The content on the disk before the name points at it.
  const bool written = WriteAll(fd, text) && fsync(fd) == 0;
  const int savedErrno = errno;
  close(fd);
  if (!written) {
    unlink(temporary.c_str());
    errno = savedErrno;
    return Fail("cannot write " + temporary, error);
  }
  // 3. The name, then the folder that holds it.
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    const bool failed = Fail("cannot replace " + path, error);
    unlink(temporary.c_str());
    return failed;
  }
  if (!SyncFolder(path)) return Fail("cannot make the folder of " + path + " durable", error);
  return true;
}

bool LockFileExclusively(const std::string& path, intptr_t* handle, std::string* error) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return Fail("cannot open " + path, error);
  // A lock of the open file description: the korvel children never hold it
  // (closed on exec), and it goes with the gang, even with SIGKILL.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const bool busy = errno == EWOULDBLOCK;
    const bool failed = Fail("cannot lock " + path, error);
    if (busy) *error = path + " is held by another korvel-gang";
    close(fd);
    return failed;
  }
  *handle = fd;
  return true;
}

void UnlockFile(intptr_t* handle) {
  if (*handle >= 0) close(static_cast<int>(*handle));
  *handle = -1;
}
