// What the fuzz targets share: ending a run as a finding, standard output
// caught in memory, and the rules the tool must follow, written from their
// description rather than from the tool's code, so that a target compares
// two independent readings of the same rule.
#pragma once

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// Ends the run as a finding when |condition| does not hold; libFuzzer keeps
// the input that did it.
inline void FuzzCheck(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

// --- Standard output ------------------------------------------------------

// Points standard output at an in-memory file, once per process, so a target
// can read back what the code under test printed. libFuzzer itself writes to
// standard error only.
inline void CaptureStdout() {
  static const bool captured = [] {
    std::fflush(stdout);
    const int fd = memfd_create("korvel-fuzz-stdout", MFD_CLOEXEC);
    FuzzCheck(fd >= 0 && dup2(fd, STDOUT_FILENO) == STDOUT_FILENO, "stdout capture");
    close(fd);
    return true;
  }();
  (void)captured;
}

// Forgets what was printed so far.
inline void ClearStdout() {
  std::fflush(stdout);
  FuzzCheck(ftruncate(STDOUT_FILENO, 0) == 0, "stdout clear");
  FuzzCheck(lseek(STDOUT_FILENO, 0, SEEK_SET) == 0, "stdout rewind");
}

// What was printed since the last ClearStdout.
inline std::string PrintedStdout() {
  std::fflush(stdout);
  struct stat info {};
  FuzzCheck(fstat(STDOUT_FILENO, &info) == 0, "stdout size");
  std::string text(static_cast<size_t>(info.st_size), '\0');
  const ssize_t got = pread(STDOUT_FILENO, text.data(), text.size(), 0);
  FuzzCheck(got == static_cast<ssize_t>(text.size()), "stdout read");
  return text;
}

// --- The rules, read independently -----------------------------------------

// Unsigned number text as strtoul reads it, with a 32-bit result: the C
// library's strtoull does the reading; the magnitude saturates at 32 bits
// before a minus sign negates it modulo 2^32.
inline uint32_t ReferenceUnsigned(const char* text, int base) {
  const char* first = text;
  while (*first == ' ' || (*first >= '\t' && *first <= '\r')) ++first;
  const bool negative = *first == '-';

  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, base);
  // strtoull has already negated a fitting magnitude; undo that.
  unsigned long long magnitude = ULLONG_MAX;
  if (errno != ERANGE) magnitude = negative ? 0ull - value : value;
  const uint32_t clipped = magnitude > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(magnitude);
  return negative ? 0u - clipped : clipped;
}

// Where strtoull stops reading |text| in |base|: the offset of the first
// character it did not take (0 when it found no number).
inline size_t ReferenceEnd(const char* text, int base) {
  char* end = nullptr;
  std::strtoull(text, &end, base);
  return static_cast<size_t>(end - text);
}

// The reply check: whether |burst| begins with a well-formed message (start
// 0x1B, a 16-bit body size high byte first, the whole message inside the
// burst, XOR checksum of everything before it), and its body size if so.
inline bool ReferenceReplyAccepted(const uint8_t* burst, size_t length, size_t* bodySize) {
  if (length < 6 || burst[0] != 0x1B) return false;
  const size_t size = (static_cast<size_t>(burst[2]) << 8) | burst[3];
  if (length < size + 6) return false;
  uint8_t sum = 0;
  for (size_t i = 0; i < size + 5; ++i) sum = static_cast<uint8_t>(sum ^ burst[i]);
  if (sum != burst[size + 5]) return false;
  *bodySize = size;
  return true;
}
