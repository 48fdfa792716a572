// The Windows child process layer: command lines as the C runtime reads
// them back, the child's environment block, the progress channel on an
// inherited handle, and children started, read, reaped and killed (cmd.exe
// as the child).
#include "tools/child/win32/child_win32.h"

#include <gtest/gtest.h>
#include <shellapi.h>
#include <windows.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "common/progress.h"
#include "common/run_state.h"
#include "tools/child/child_process.h"
#include "tools/child/child_wait.h"

namespace {

template <typename Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& param) {
  return param.param.name;
}

struct LineCase {
  const char* name;
  std::vector<std::string> args;
};

class CommandLineTest : public ::testing::TestWithParam<LineCase> {};

// What the command line gives back, split as every program's C runtime
// splits it.
TEST_P(CommandLineTest, ReadsBackAsTheSameArguments) {
  std::vector<std::string> args = {"korvel.exe"};
  args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
  const std::string line = WindowsCommandLine(args);
  const std::wstring wide(line.begin(), line.end());  // ASCII alone
  int count = 0;
  LPWSTR* split = CommandLineToArgvW(wide.c_str(), &count);
  ASSERT_NE(split, nullptr);
  std::vector<std::string> back;
  for (int i = 0; i < count; ++i) {
    const std::wstring arg(split[i]);
    back.emplace_back(arg.begin(), arg.end());
  }
  LocalFree(split);
  EXPECT_EQ(back, args) << line;
}

INSTANTIATE_TEST_SUITE_P(
    Child, CommandLineTest,
    ::testing::Values(LineCase{"Plain", {"COM7", "fw.img", "FORCE"}},
                      LineCase{"Blanks", {"C:\\Program Files\\fw 2.img", "a\tb"}},
                      LineCase{"Empty", {"", "x", ""}},
                      LineCase{"Quotes", {"say \"hi\"", "\"", "a\"b"}},
                      LineCase{"BackslashesBeforeAQuote", {"a\\\"b", "a\\\\\"b", "\\\""}},
                      LineCase{"BackslashesAtTheEnd", {"C:\\images\\", "two words\\\\"}},
                      LineCase{"BackslashesElsewhere", {"\\\\server\\share\\fw.img"}}),
    CaseName<LineCase>);

// The entries of an environment block.
std::vector<std::string> Entries(const std::string& block) {
  std::vector<std::string> entries;
  for (const char* entry = block.c_str(); *entry != '\0'; entry += std::strlen(entry) + 1) {
    entries.emplace_back(entry);
  }
  return entries;
}

TEST(ChildEnvironment, SetsTheChannelInPlaceOfAnyOfThatNameInAnyCase) {
  const std::string parent = std::string("=C:=C:\\work") + '\0' + "Path=C:\\bin" + '\0' +
                             "korvel_progress_fd=7" + '\0' + "KORVEL_PROGRESS_FD_X=1" + '\0' + '\0';
  const std::string block = ChildEnvironmentBlock(parent.c_str(), {{"KORVEL_PROGRESS_FD", "1234"}});
  EXPECT_EQ(Entries(block),
            (std::vector<std::string>{"=C:=C:\\work", "Path=C:\\bin", "KORVEL_PROGRESS_FD_X=1",
                                      "KORVEL_PROGRESS_FD=1234"}));
  EXPECT_EQ(block.substr(block.size() - 2), std::string(2, '\0'));
  EXPECT_EQ(Entries(ChildEnvironmentBlock("\0", {{"V", "1"}})), std::vector<std::string>{"V=1"});
}

// korvel's side of the channel: the value of an inherited handle, as the
// gang passes it; a value that is no file, pipe or device leaves it off.
TEST(ChildChannel, KorvelWritesItsBlocksToAHandleNamedByItsValue) {
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 4096));
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  const std::string eventValue = std::to_string(reinterpret_cast<uintptr_t>(event));
  EXPECT_FALSE(ProgressChannelOpen(eventValue.c_str()));
  const std::string value = std::to_string(reinterpret_cast<uintptr_t>(writeEnd));
  ASSERT_TRUE(ProgressChannelOpen(value.c_str()));
  ProgressBegin(2, 100);
  ProgressUpdate(0, 0);
  ProgressUpdate(2, 100);
  ProgressEnd();
  ProgressChannelOpen(nullptr);
  char text[128] = {};
  DWORD count = 0;
  ASSERT_TRUE(ReadFile(readEnd, text, sizeof text - 1, &count, nullptr));
  EXPECT_EQ(std::string(text, count), "block 0/2 bytes 0/100\nblock 2/2 bytes 100/100\n");
  CloseHandle(event);
  CloseHandle(readEnd);
}

struct ChildCase {
  const char* name;
  std::string command;  // for cmd.exe /c
  bool kill;
  std::string output;
  int status;
};

class ChildRunTest : public ::testing::TestWithParam<ChildCase> {};

TEST_P(ChildRunTest, GivesItsOutputAndStatus) {
  char system[MAX_PATH] = {};
  ASSERT_GT(GetSystemDirectoryA(system, sizeof system), 0u);
  ChildLaunch launch;
  launch.program = std::string(system) + "\\cmd.exe";
  launch.args = {"/c", GetParam().command};
  launch.channelVariable = "KORVEL_PROGRESS_FD";
  ChildWaiter waiter;
  std::string error;
  ASSERT_TRUE(OpenChildWaiter(&waiter, &error)) << error;
  Child child;
  ASSERT_TRUE(StartChild(launch, &child, &error)) << error;
  if (GetParam().kill) KillChild(&child);
  // Until it has ended, 20 s at most: then all that is left of its output.
  std::string output;
  char chunk[256];
  ChildExit exit;
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!ChildEnded(&child, &exit) && std::chrono::steady_clock::now() < limit) {
    std::vector<bool> ready;
    WaitForChildren(&waiter, {&child.output}, std::chrono::milliseconds(500), &ready);
    for (size_t n; (n = ReadChildPipe(&child.output, chunk, sizeof chunk, PipeRead::kNow)) > 0;) {
      output.append(chunk, n);
    }
  }
  for (size_t n; (n = ReadChildPipe(&child.output, chunk, sizeof chunk, PipeRead::kToEnd)) > 0;) {
    output.append(chunk, n);
  }
  EXPECT_FALSE(ChildPipeOpen(child.output));
  CloseChildPipe(&child.channel);
  CloseChildWaiter(&waiter);
  EXPECT_EQ(exit.status, GetParam().status);
  if (!GetParam().kill) {
    EXPECT_EQ(output, GetParam().output);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Child, ChildRunTest,
    ::testing::Values(ChildCase{"Output", "echo one& echo two", false, "one\r\ntwo\r\n", 0},
                      ChildCase{"Status", "exit 3", false, "", 3},
                      // As a POSIX shell reads it: korvel's -1 is 255.
                      ChildCase{"MinusOne", "exit -1", false, "", 255},
                      // The channel's handle, named in the variable.
                      ChildCase{"ChannelNamed",
                                "if defined KORVEL_PROGRESS_FD (exit 0) else exit 1", false, "", 0},
                      ChildCase{"Killed", "ping -n 30 127.0.0.1", true, "", -1}),
    CaseName<ChildCase>);

}  // namespace
