// The progress line on standard error: drawn while programming when
// standard error is a terminal, absent otherwise, and never changing what
// standard output shows.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/e2e/expected_lines.h"
#include "tests/e2e/run_korvel.h"
#include "tests/e2e/simulated_device.h"
#include "tests/e2e/test_images.h"

extern char** environ;

namespace korvel_e2e {
namespace {

using Clock = std::chrono::steady_clock;

struct TerminalRun {
  int exitStatus = -1;
  std::string out;       // standard output, through a pipe
  std::string terminal;  // what arrived on the terminal that was standard error
};

// Runs korvel with standard error on a fresh pseudo-terminal and standard
// output on a pipe, collecting both until it exits (at most |limit|).
TerminalRun RunWithTerminalStderr(const std::vector<std::string>& args,
                                  std::chrono::milliseconds limit) {
  TerminalRun run;
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return run;
  const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  int outPipe[2];
  if (slave < 0 || pipe2(outPipe, O_CLOEXEC) != 0) return run;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, slave, 2);
  std::vector<std::string> argv = {KorvelBinary()};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> argvPointers;
  for (std::string& arg : argv) argvPointers.push_back(arg.data());
  argvPointers.push_back(nullptr);
  pid_t child = -1;
  const int spawned =
      posix_spawn(&child, argvPointers[0], &actions, nullptr, argvPointers.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(outPipe[1]);
  close(slave);
  if (spawned != 0) return run;

  // Read both until standard output closes (the child exited); the terminal
  // is drained of whatever is left after that.
  const Clock::time_point deadline = Clock::now() + limit;
  bool outOpen = true;
  while (outOpen && Clock::now() < deadline) {
    pollfd ready[2] = {{outPipe[0], POLLIN, 0}, {master, POLLIN, 0}};
    if (poll(ready, 2, 100) <= 0) continue;
    char chunk[4096];
    if (ready[0].revents != 0) {
      const ssize_t n = read(outPipe[0], chunk, sizeof chunk);
      if (n > 0) run.out.append(chunk, static_cast<size_t>(n));
      if (n <= 0) outOpen = false;
    }
    if (ready[1].revents & POLLIN) {
      const ssize_t n = read(master, chunk, sizeof chunk);
      if (n > 0) run.terminal.append(chunk, static_cast<size_t>(n));
    }
  }
  if (outOpen) kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  for (;;) {
    pollfd ready{master, POLLIN, 0};
    char chunk[4096];
    if (poll(&ready, 1, 0) <= 0) break;
    const ssize_t n = read(master, chunk, sizeof chunk);
    if (n <= 0) break;
    run.terminal.append(chunk, static_cast<size_t>(n));
  }
  close(outPipe[0]);
  close(master);
  if (WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
  return run;
}

// The drawings of the progress line: the pieces between carriage returns
// that hold a bar.
std::vector<std::string> Drawings(const std::string& terminal) {
  std::vector<std::string> drawings;
  size_t start = 0;
  while (start < terminal.size()) {
    size_t end = terminal.find('\r', start);
    if (end == std::string::npos) end = terminal.size();
    const std::string piece = terminal.substr(start, end - start);
    if (piece.find('[') == 0) drawings.push_back(piece);
    start = end + 1;
  }
  return drawings;
}

TEST(ProgressLineTest, AdvancesOnATerminalAndLeavesStandardOutputAsItWas) {
  TempDir dir;
  // 80 blocks: over a second of programming, so the line is redrawn.
  const Bytes image = FirmwareImage(80 * 64);
  const std::string path = dir.WriteFile("firmware.img", image).string();

  SimulatedDevice onTerminal;
  const TerminalRun drawn =
      RunWithTerminalStderr({onTerminal.port(), path}, std::chrono::milliseconds(60000));
  SimulatedDevice onPipe;
  const RunResult plain = RunKorvel({onPipe.port(), path});

  ASSERT_EQ(drawn.exitStatus, 0) << drawn.out;
  ASSERT_EQ(plain.exitStatus, 0) << plain.out;
  // Standard output is the same, byte for byte; redirected standard error
  // gets nothing at all.
  EXPECT_EQ(drawn.out, plain.out);
  EXPECT_TRUE(
      OutputIs(plain.out, ActivatedStart() + ExpectedLines{Line("Flashing firmware version 2.4."),
                                                           Line("Firmware flashed.")}));
  EXPECT_EQ(plain.err, "");

  const std::vector<std::string> drawings = Drawings(drawn.terminal);
  ASSERT_GE(drawings.size(), 3u) << drawn.terminal;
  EXPECT_NE(drawings.front().find(" 0/80 blocks 0/5120 bytes   0%"), std::string::npos)
      << drawings.front();
  EXPECT_NE(drawings.back().find(" 80/80 blocks 5120/5120 bytes 100%"), std::string::npos)
      << drawings.back();
  // In between it advances: a drawing that is neither the first nor the
  // last state, with a rate and the time left.
  bool advancing = false;
  for (const std::string& drawing : drawings) {
    if (drawing.find(" B/s ") != std::string::npos && drawing.find(" left") != std::string::npos &&
        drawing.find(" 0/80 blocks") == std::string::npos) {
      advancing = true;
    }
  }
  EXPECT_TRUE(advancing) << drawn.terminal;
  // The line is blanked and the cursor returned before the run goes on.
  const size_t lastReturn = drawn.terminal.find_last_of('\r');
  ASSERT_NE(lastReturn, std::string::npos);
  EXPECT_EQ(lastReturn, drawn.terminal.size() - 1);
  const size_t blankStart = drawn.terminal.find_last_of('\r', lastReturn - 1);
  const std::string blank = drawn.terminal.substr(blankStart + 1, lastReturn - blankStart - 1);
  EXPECT_EQ(blank, std::string(blank.size(), ' '));
  EXPECT_EQ(blank.size(), drawings.back().size());
}

TEST(ProgressLineTest, AFailureReportTakesTheLineOfTheProgress) {
  TempDir dir;
  const std::string path = dir.WriteFile("firmware.img", FirmwareImage(10 * 64)).string();
  DevsimConfig config;
  config.replies[3].fault = ReplyFault::kRefuse;  // the third block
  SimulatedDevice device(config);
  const TerminalRun run =
      RunWithTerminalStderr({device.port(), path}, std::chrono::milliseconds(30000));
  EXPECT_EQ(run.exitStatus, 255);
  // The report comes after the line was blanked: the terminal ends with the
  // cursor at the start of an empty line, and standard output has the
  // report as a line of its own.
  ASSERT_FALSE(run.terminal.empty());
  EXPECT_EQ(run.terminal.back(), '\r');
  EXPECT_NE(run.out.find("/ Programming the flash failed: ("), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\nWritten: "), std::string::npos) << run.out;
}

}  // namespace
}  // namespace korvel_e2e
