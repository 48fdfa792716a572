// Reading a child's pipes on Windows: a thread per pipe, blocked in
// ReadFile, hands what it reads to the parent and sets the wake event. An
// anonymous pipe can't be waited on, nor read with overlapped I/O, and
// WaitForMultipleObjects takes no more than 64 objects: a thread per pipe
// serves any number of children. Nothing of POSIX here.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "child_win32.h"
#include "tools/child/child_process.h"

struct PipeReader {
  HANDLE pipe = nullptr;    // the thread's, closed when it ends
  HANDLE thread = nullptr;  // the parent's handle to the thread
  SRWLOCK lock = SRWLOCK_INIT;
  std::string data;    // read, not yet taken (under |lock|)
  bool ended = false;  // nothing more comes (under |lock|)
  // The parent was woken for bytes it has not taken yet (under |lock|),
  // and when the thread last woke it.
  bool woken = false;
  ULONGLONG lastWake = 0;
};

namespace {

// How long the end of a child's output may take to arrive once the child
// has ended (its thread still handing over the last bytes), and how long a
// thread whose read was cancelled gets to end.
constexpr DWORD kEndWaitMs = 2000;
constexpr DWORD kCancelWaitMs = 500;
// A thread that does nothing but read needs little stack.
constexpr SIZE_T kReaderStack = 64 * 1024;
// A pipe wakes the parent at most this often while bytes keep coming (a
// progress line per block): it takes them all at once, and redraws its
// board no more often anyway. Every wake costs system calls, which under
// Wine go through its server, shared with the children's own. Bytes that
// come sooner wait for the next wake (the parent looks at least once a
// second); a pipe's end wakes it at once.
constexpr ULONGLONG kWakeGapMs = 100;

// Whether new bytes (or the end) of |reader| should wake the parent now;
// notes the wake. Under the reader's lock.
bool WakeNow(PipeReader* reader) {
  const ULONGLONG now = GetTickCount64();
  if (!reader->ended && (reader->woken || now - reader->lastWake < kWakeGapMs)) return false;
  reader->woken = true;
  reader->lastWake = now;
  return true;
}

DWORD WINAPI ReadPipe(void* parameter) {
  // The thread holds the reader as long as it runs: the parent may close
  // its end before.
  std::unique_ptr<std::shared_ptr<PipeReader>> owned(
      static_cast<std::shared_ptr<PipeReader>*>(parameter));
  const std::shared_ptr<PipeReader> reader = *owned;
  char chunk[4096];
  for (bool more = true; more;) {
    DWORD count = 0;
    // A pipe whose writers have all gone fails with ERROR_BROKEN_PIPE: its
    // end. A write of no bytes reads as a read of none, which is no end.
    more = ReadFile(reader->pipe, chunk, sizeof chunk, &count, nullptr) != 0;
    AcquireSRWLockExclusive(&reader->lock);
    reader->data.append(chunk, more ? count : 0);
    reader->ended = !more;
    const bool wake = WakeNow(reader.get());
    ReleaseSRWLockExclusive(&reader->lock);
    if (wake) SetEvent(ChildWakeEvent());
  }
  CloseHandle(reader->pipe);
  return 0;
}

// Waits up to |ms| for the reader's thread to end; true when it has.
bool ThreadEnded(const PipeReader& reader, DWORD ms) {
  return WaitForSingleObject(reader.thread, ms) == WAIT_OBJECT_0;
}

}  // namespace

bool StartPipeReader(HANDLE pipe, ChildPipe* into) {
  auto reader = std::make_shared<PipeReader>();
  reader->pipe = pipe;
  auto* parameter = new std::shared_ptr<PipeReader>(reader);
  reader->thread = CreateThread(nullptr, kReaderStack, ReadPipe, parameter,
                                STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (reader->thread == nullptr) {
    delete parameter;
    CloseHandle(pipe);
    return false;
  }
  into->reader = std::move(reader);
  return true;
}

bool PipeReady(const ChildPipe& pipe) {
  if (!pipe.reader) return false;
  AcquireSRWLockShared(&pipe.reader->lock);
  const bool ready = !pipe.reader->data.empty() || pipe.reader->ended;
  ReleaseSRWLockShared(&pipe.reader->lock);
  return ready;
}

bool ChildPipeOpen(const ChildPipe& pipe) {
  return pipe.reader != nullptr;
}

size_t ReadChildPipe(ChildPipe* pipe, char* buffer, size_t size, PipeRead mode) {
  if (!pipe->reader) return 0;
  PipeReader& reader = *pipe->reader;
  // 1. After the child's end, its thread may still be handing over the
  // last bytes; a pipe that some other process still holds open never
  // ends, so its read is cancelled.
  if (mode == PipeRead::kToEnd && !ThreadEnded(reader, kEndWaitMs)) {
    CancelSynchronousIo(reader.thread);
    ThreadEnded(reader, kCancelWaitMs);
  }
  // 2. What it has read, as much as fits.
  AcquireSRWLockExclusive(&reader.lock);
  const size_t count = std::min(size, reader.data.size());
  std::memcpy(buffer, reader.data.data(), count);
  reader.data.erase(0, count);
  if (reader.data.empty()) reader.woken = false;
  const bool over = count == 0 && reader.ended;
  ReleaseSRWLockExclusive(&reader.lock);
  if (over || (count == 0 && mode == PipeRead::kToEnd)) CloseChildPipe(pipe);
  return count;
}

void CloseChildPipe(ChildPipe* pipe) {
  if (!pipe->reader) return;
  // A thread still reading is cancelled; it ends by itself and lets the
  // reader go.
  if (!ThreadEnded(*pipe->reader, 0)) CancelSynchronousIo(pipe->reader->thread);
  CloseHandle(pipe->reader->thread);
  pipe->reader.reset();
}
