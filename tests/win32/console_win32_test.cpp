// The console control handler: keyboard events are counted and change
// nothing; close, logoff and shutdown events ask the run to stop and are
// held until the run has finished, so the port is left as found before the
// system ends the process. Wine delivers no such event for a signal, so the
// handler is called here as the system would call it.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "common/interrupts.h"

BOOL WINAPI ConsoleCtrlHandler(DWORD event);  // app/console_win32.cpp

namespace {

TEST(ConsoleEvents, KeyboardEventsAreCountedAndCloseEventsStopTheRun) {
  struct Row {
    DWORD event;
    bool stops;
  };
  for (const Row row :
       {Row{CTRL_C_EVENT, false}, Row{CTRL_BREAK_EVENT, false}, Row{CTRL_CLOSE_EVENT, true},
        Row{CTRL_LOGOFF_EVENT, true}, Row{CTRL_SHUTDOWN_EVENT, true}}) {
    ClearRequests();
    std::atomic<bool> returned{false};
    std::thread handler([&] {
      EXPECT_EQ(ConsoleCtrlHandler(row.event), TRUE);
      returned = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!returned && !StopRequested() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (row.stops) {
      EXPECT_EQ(StopRequestReason(), StopReason::kConsoleClose) << row.event;
      // Held while the run ends, let go once it has.
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      EXPECT_FALSE(returned) << row.event;
      NoteRunFinished();
    } else {
      handler.join();
      EXPECT_FALSE(StopRequested()) << row.event;
      EXPECT_EQ(KeyboardInterrupts(), 1u) << row.event;
    }
    if (handler.joinable()) handler.join();
    EXPECT_TRUE(returned) << row.event;
  }
  ClearRequests();
}

}  // namespace
