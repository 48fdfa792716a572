// The progress line on standard error: drawn while the bootloader is woken
// and while programming when standard error is a terminal, absent
// otherwise, never wider than the terminal allows, and never changing what
// standard output shows.
#include "common/progress.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include "tests/e2e/case_name.h"
#include "tests/e2e/expected_lines.h"
#include "tests/e2e/run_korvel.h"
#include "tests/e2e/simulated_device.h"
#include "tests/e2e/test_images.h"

namespace korvel_e2e {
namespace {

using korvel_e2e::PrintTo;

// Runs korvel with standard error on a fresh pseudo-terminal |columns| wide
// (0: no size given, as a terminal that can't tell) and standard output on a
// pipe, collecting both until it exits (at most |limit|); |err| holds what
// arrived on the terminal. Always with the standard reply timing: what the
// line shows (a rate of five digits or four, whether the time left still
// fits) depends on how fast the run goes.
RunResult RunWithTerminalStderr(const std::vector<std::string>& args,
                                std::chrono::milliseconds limit, unsigned short columns = 0) {
  return RunProgram(KorvelBinary(), args,
                    {.timeout = limit,
                     .environment = {"KORVEL_FAST=0"},
                     .errOnTerminal = true,
                     .columns = columns});
}

// What was written between carriage returns: drawings and blankings.
std::vector<std::string> Pieces(const std::string& terminal) {
  std::vector<std::string> pieces;
  size_t start = 0;
  while (start < terminal.size()) {
    size_t end = terminal.find('\r', start);
    if (end == std::string::npos) end = terminal.size();
    pieces.push_back(terminal.substr(start, end - start));
    start = end + 1;
  }
  return pieces;
}

// The drawings of the programming line: the pieces that show a percent.
std::vector<std::string> Drawings(const std::string& terminal) {
  std::vector<std::string> drawings;
  for (const std::string& piece : Pieces(terminal)) {
    if (piece.find('%') != std::string::npos) drawings.push_back(piece);
  }
  return drawings;
}

// --- The line's text for a state and a width --------------------------------

ProgressState Programming(uint32_t blocksDone, uint32_t totalBlocks, uint32_t bytesDone,
                          uint32_t totalBytes, double seconds) {
  ProgressState state;
  state.blocksDone = blocksDone;
  state.totalBlocks = totalBlocks;
  state.bytesDone = bytesDone;
  state.totalBytes = totalBytes;
  state.seconds = seconds;
  return state;
}

ProgressState Probing(uint32_t probe) {
  ProgressState state;
  state.phase = ProgressPhase::kActivating;
  state.probe = probe;
  state.probeLimit = 30;
  return state;
}

// |state| while a keyboard interrupt is answered, with the phase's
// estimate and the seconds it has run.
ProgressState Refused(ProgressState state, double estimatedSeconds, double seconds) {
  state.stopRefused = true;
  state.estimatedSeconds = estimatedSeconds;
  state.seconds = seconds;
  return state;
}

// Half of a 65,535-byte image after 14 s: 2,340 B/s, 14 s left.
const ProgressState kHalfOfTheLargest = Programming(512, 1024, 32768, 65535, 14.0);

struct LineTextCase {
  const char* name;
  ProgressState state;
  int columns;
  const char* text;
};

class ProgressLineTextTest : public ::testing::TestWithParam<LineTextCase> {};

TEST_P(ProgressLineTextTest, DropsFieldsAsTheTerminalNarrows) {
  const LineTextCase& row = GetParam();
  const std::string text = ProgressLineText(row.state, row.columns);
  EXPECT_EQ(text, row.text);
  // The cursor never reaches the last column, where the terminal wraps.
  EXPECT_LT(static_cast<int>(text.size()), std::max(row.columns, 1));
}

INSTANTIATE_TEST_SUITE_P(
    Progress, ProgressLineTextTest,
    ::testing::Values(
        LineTextCase{"EverythingAt100", kHalfOfTheLargest, 100,
                     "[############............] 512/1024 blocks 32768/65535 bytes  50% 2341 B/s "
                     "0:14 left"},
        LineTextCase{"BytesGoFirstAt80", kHalfOfTheLargest, 80,
                     "[############............] 512/1024 blocks  50% 2341 B/s 0:14 left"},
        LineTextCase{"ThenTheRateAt60", kHalfOfTheLargest, 60,
                     "[############............] 512/1024 blocks  50% 0:14 left"},
        LineTextCase{"ThenTheBarShortensAt50", kHalfOfTheLargest, 50,
                     "[########........] 512/1024 blocks  50% 0:14 left"},
        LineTextCase{"ThenTheBlocksGoAt40", kHalfOfTheLargest, 40,
                     "[###########...........]  50% 0:14 left"},
        LineTextCase{"TimeLeftOutlastsTheBarAt20", kHalfOfTheLargest, 20, "50% 0:14 left"},
        LineTextCase{"PercentAloneAt8", kHalfOfTheLargest, 8, "50%"},
        LineTextCase{"NothingAt3", kHalfOfTheLargest, 3, ""},
        LineTextCase{"NothingWithoutColumns", kHalfOfTheLargest, 0, ""},
        LineTextCase{"SmallImageFitsWholeAt80", Programming(40, 80, 2560, 5120, 1.0), 80,
                     "[############............] 40/80 blocks 2560/5120 bytes  50% 2560 B/s 0:01 "
                     "left"},
        LineTextCase{"NoRateBeforeTheFirstBlock", Programming(0, 80, 0, 5120, 0.0), 80,
                     "[........................] 0/80 blocks 0/5120 bytes   0%"},
        LineTextCase{"NoTimeLeftWhenDone", Programming(1024, 1024, 65535, 65535, 28.0), 80,
                     "[########################] 1024/1024 blocks 65535/65535 bytes 100%"},
        LineTextCase{"FullBarWhenDoneAt20", Programming(1024, 1024, 65535, 65535, 28.0), 20,
                     "[############] 100%"},
        LineTextCase{"EmptyImageCountsAsDone", Programming(0, 0, 0, 0, 0.0), 20,
                     "[############] 100%"},
        // A keyboard interrupt is answered: from the rate once there is one,
        // else from the estimate, never less than a second.
        LineTextCase{"RefusedStopFromTheRate", Refused(kHalfOfTheLargest, 60.0, 14.0), 80,
                     "can't stop now: about 14 s left"},
        LineTextCase{"RefusedStopFromTheEstimate",
                     Refused(Programming(0, 80, 0, 5120, 0.0), 2.3, 0.1), 80,
                     "can't stop now: about 3 s left"},
        LineTextCase{"RefusedStopWhileProbing", Refused(Probing(7), 4.5, 0.9), 80,
                     "can't stop now: about 4 s left"},
        LineTextCase{"RefusedStopAtLeastASecond", Refused(Probing(30), 4.5, 4.6), 80,
                     "can't stop now: about 1 s left"},
        LineTextCase{"RefusedStopShortAt22", Refused(kHalfOfTheLargest, 60.0, 14.0), 22,
                     "can't stop: 14 s left"},
        LineTextCase{"RefusedStopSecondsAt12", Refused(kHalfOfTheLargest, 60.0, 14.0), 12,
                     "14 s left"},
        LineTextCase{"ProbeInFullAt80", Probing(7), 80, "Activating the bootloader: probe 7/30"},
        LineTextCase{"ProbeShortAt30", Probing(7), 30, "Activating: probe 7/30"},
        LineTextCase{"ProbeCountAt20", Probing(30), 20, "probe 30/30"},
        LineTextCase{"ProbeNumbersAt6", Probing(30), 6, "30/30"},
        LineTextCase{"ProbeNothingAt5", Probing(30), 5, ""}),
    CaseName<LineTextCase>);

TEST(ProgressLineTextTest, NeverReachesTheLastColumnAtAnyWidth) {
  const ProgressState states[] = {kHalfOfTheLargest,
                                  Programming(0, 1024, 0, 65535, 0.0),
                                  Programming(1, 1024, 64, 65535, 0.001),  // a huge rate
                                  Programming(1, 1024, 64, 65535, 600.0),  // hours left
                                  Probing(1),
                                  Probing(30),
                                  Refused(kHalfOfTheLargest, 60.0, 14.0),
                                  Refused(Probing(1), 4.5, 0.0)};
  for (const ProgressState& state : states) {
    size_t previous = 0;
    for (int columns = 1; columns <= 200; ++columns) {
      const std::string text = ProgressLineText(state, columns);
      ASSERT_LT(static_cast<int>(text.size()), columns) << columns << ": " << text;
      // A wider terminal never gets a shorter line.
      ASSERT_GE(text.size(), previous) << columns << ": " << text;
      previous = text.size();
    }
  }
}

// --- The line on a terminal --------------------------------------------------

// A terminal of |columns| (0: one that does not tell its width, taken as
// 80), and what the first and the last drawing of an 80-block run show there.
struct TerminalWidthCase {
  const char* name;
  unsigned short columns;
  const char* firstDrawing;
  const char* lastDrawing;
  const char* probeDrawing;
  bool showsRate;
};

class ProgressLineTest : public ::testing::TestWithParam<TerminalWidthCase> {};

TEST_P(ProgressLineTest, AdvancesWithinTheWidthAndLeavesStandardOutputAsItWas) {
  const TerminalWidthCase& row = GetParam();
  // Four columns stay free for the "^C" a terminal may echo after the line.
  const size_t limit = (row.columns > 0 ? row.columns : 80u) - 5u;
  TempDir dir;
  // 80 blocks: over a second of programming, so the line is redrawn.
  const Bytes image = FirmwareImage(80 * 64);
  const std::string path = dir.WriteFile("firmware.img", image).string();

  SimulatedDevice onTerminal;
  const RunResult drawn = RunWithTerminalStderr({onTerminal.port(), path},
                                                std::chrono::milliseconds(60000), row.columns);
  SimulatedDevice onPipe;
  const RunResult plain = RunKorvel({onPipe.port(), path}, {.replies = ReplyMode::kStandard});

  ASSERT_EQ(drawn.exitStatus, 0) << drawn.out;
  ASSERT_EQ(plain.exitStatus, 0) << plain.out;
  // Standard output is the same, byte for byte; redirected standard error
  // gets nothing at all.
  EXPECT_EQ(drawn.out, plain.out);
  EXPECT_TRUE(
      OutputIs(plain.out, ActivatedStart() + ExpectedLines{Line("Flashing firmware version 2.4."),
                                                           Line("Firmware flashed.")}));
  EXPECT_EQ(plain.err, "");

  // Nothing on the terminal but carriage returns and drawings or blanks
  // that stop short of the last column: no line feed, no wrap.
  for (const std::string& piece : Pieces(drawn.err)) {
    EXPECT_LE(piece.size(), limit) << piece;
    EXPECT_EQ(piece.find('\n'), std::string::npos) << piece;
  }
  // The wake-up shows its probe first.
  const std::vector<std::string> pieces = Pieces(drawn.err);
  ASSERT_GE(pieces.size(), 2u) << drawn.err;
  EXPECT_EQ(pieces[1], row.probeDrawing);

  const std::vector<std::string> drawings = Drawings(drawn.err);
  ASSERT_GE(drawings.size(), 3u) << drawn.err;
  EXPECT_NE(drawings.front().find(row.firstDrawing), std::string::npos) << drawings.front();
  EXPECT_NE(drawings.back().find(row.lastDrawing), std::string::npos) << drawings.back();
  // In between it advances: a drawing that is neither the first nor the
  // last state, with a rate and the time left where they fit.
  bool advancing = false;
  for (const std::string& drawing : drawings) {
    const bool timed =
        drawing.find(" B/s") != std::string::npos && drawing.find(" left") != std::string::npos;
    if (drawing.find(row.firstDrawing) == std::string::npos &&
        drawing.find(row.lastDrawing) == std::string::npos && timed == row.showsRate) {
      advancing = true;
    }
  }
  EXPECT_TRUE(advancing) << drawn.err;
  // The line is blanked and the cursor returned before the run goes on.
  const size_t lastReturn = drawn.err.find_last_of('\r');
  ASSERT_NE(lastReturn, std::string::npos);
  EXPECT_EQ(lastReturn, drawn.err.size() - 1);
  const size_t blankStart = drawn.err.find_last_of('\r', lastReturn - 1);
  const std::string blank = drawn.err.substr(blankStart + 1, lastReturn - blankStart - 1);
  EXPECT_EQ(blank, std::string(blank.size(), ' '));
  EXPECT_EQ(blank.size(), drawings.back().size());
}

INSTANTIATE_TEST_SUITE_P(
    Progress, ProgressLineTest,
    ::testing::Values(TerminalWidthCase{"UnknownWidth", 0, " 0/80 blocks 0/5120 bytes   0%",
                                        " 80/80 blocks 5120/5120 bytes 100%",
                                        "Activating the bootloader: probe 1/30", true},
                      TerminalWidthCase{"Columns80", 80, " 0/80 blocks 0/5120 bytes   0%",
                                        " 80/80 blocks 5120/5120 bytes 100%",
                                        "Activating the bootloader: probe 1/30", true},
                      TerminalWidthCase{"Columns40", 40, "] 0/80 blocks   0%",
                                        "] 80/80 blocks 100%", "Activating: probe 1/30", false},
                      TerminalWidthCase{"Columns20", 20, "[........]   0%", "[########] 100%",
                                        "probe 1/30", false}),
    CaseName<TerminalWidthCase>);

// A run that fails while the line is up: the report or the result line
// takes its place.
struct LineFailureCase {
  const char* name;
  DevsimConfig device;
  const char* lastDrawing;     // what the line showed last
  const char* outputHas;       // what standard output shows instead
  const char* explanationHas;  // what the terminal says after the run
};

class ProgressLineFailureTest : public ::testing::TestWithParam<LineFailureCase> {};

DevsimConfig RefusingBlock(int block) {
  DevsimConfig config;
  config.replies[block].fault = ReplyFault::kRefuse;
  return config;
}

ProbeFaults SilentBootloader() {
  ProbeFaults faults;
  faults.neverAnswer = true;
  return faults;
}

TEST_P(ProgressLineFailureTest, TakesTheLineOfTheProgress) {
  const LineFailureCase& row = GetParam();
  TempDir dir;
  const std::string path = dir.WriteFile("firmware.img", FirmwareImage(10 * 64)).string();
  SimulatedDevice device(row.device);
  const RunResult run =
      RunWithTerminalStderr({device.port(), path}, std::chrono::milliseconds(30000), 80);
  EXPECT_EQ(run.exitStatus, 255);
  // After the run the terminal gets one line in plain words on what failed
  // (its line feed arrives as CR LF).
  ASSERT_TRUE(run.err.ends_with("\r\n")) << run.err;
  const size_t lastReturn = run.err.rfind('\r', run.err.size() - 3);
  ASSERT_NE(lastReturn, std::string::npos) << run.err;
  const std::string explanation = run.err.substr(lastReturn + 1, run.err.size() - lastReturn - 3);
  EXPECT_NE(explanation.find(row.explanationHas), std::string::npos) << explanation;
  EXPECT_EQ(explanation.find('\n'), std::string::npos) << explanation;
  // Before it the line was blanked before the failure was printed: the
  // cursor at the start of an empty line, and standard output has the
  // report or result as a line of its own.
  const std::string line = run.err.substr(0, lastReturn + 1);
  ASSERT_GE(line.size(), 2u);
  const std::vector<std::string> pieces = Pieces(line);
  ASSERT_GE(pieces.size(), 3u) << run.err;
  const std::string& blank = pieces[pieces.size() - 1];
  EXPECT_EQ(blank, std::string(blank.size(), ' '));
  EXPECT_NE(pieces[pieces.size() - 2].find(row.lastDrawing), std::string::npos) << run.err;
  EXPECT_NE(run.out.find(row.outputHas), std::string::npos) << run.out;
}

INSTANTIATE_TEST_SUITE_P(
    Progress, ProgressLineFailureTest,
    ::testing::Values(
        // The third block is refused: a report, then the traffic line.
        LineFailureCase{"RefusedBlock", RefusingBlock(3), "/10 blocks",
                        "/ Programming the flash failed: (", "The bootloader refused a block of"},
        // No answer to any of the 30 probes: about 4.5 s of counting.
        LineFailureCase{"SilentBootloader", WithProbeFaults(SilentBootloader()),
                        "Activating the bootloader: probe 30/30",
                        "\nActivating the bootloader failed.\n",
                        "did not answer the bootloader's sync probe"}),
    CaseName<LineFailureCase>);

// --- Plain words on the terminal ------------------------------------------------

// What a person at a terminal gets on standard error beside the progress
// line, while standard output stays exactly as it is.
struct NoteCase {
  const char* name;
  DevsimConfig device;
  std::vector<std::string> args;  // after the port; "{image}" is a 16-block firmware file
  int interruptAtFrame;           // > 0: SIGINT once the device has seen this many frames
  ExpectedLines lines;
  int status;
  std::vector<std::string> errHas;
};

class TerminalNoteTest : public ::testing::TestWithParam<NoteCase> {};

TEST_P(TerminalNoteTest, AddsPlainWordsOnStandardErrorOnly) {
  const NoteCase& row = GetParam();
  TempDir dir;
  const std::string image = dir.WriteFile("fw.img", FirmwareImage(16 * 64)).string();
  dir.WriteFile("stoplight-v2.img", FirmwareImage(64));
  SimulatedDevice device(row.device);
  std::vector<std::string> args = {device.port()};
  for (const std::string& arg : row.args) args.push_back(arg == "{image}" ? image : arg);
  RunOptions options{.timeout = std::chrono::milliseconds(30000),
                     .workingDirectory = dir.path(),
                     .environment = {"KORVEL_FAST=0"},
                     .errOnTerminal = true,
                     .columns = 80};
  if (row.interruptAtFrame > 0) {
    options.signal = SIGINT;
    options.signalWhen = [&] {
      return static_cast<int>(device.Snapshot().frames.size()) >= row.interruptAtFrame;
    };
  }
  const RunResult run = RunProgram(KorvelBinary(), args, options);
  EXPECT_TRUE(OutputIs(run.out, ExpectedLines{Banner()} + row.lines));
  EXPECT_EQ(run.exitStatus, row.status);
  for (const std::string& piece : row.errHas) {
    EXPECT_NE(run.err.find(piece), std::string::npos) << piece << "\nin: " << run.err;
  }
}

DevsimConfig Paced() {
  DevsimConfig config;
  config.paced = true;
  config.writeTimeUs = 20000;
  return config;
}

const ExpectedLine kFlashedVersion24 = Line("Flashing firmware version 2.4.");

INSTANTIATE_TEST_SUITE_P(
    Progress, TerminalNoteTest,
    ::testing::Values(
        NoteCase{"CommandWordNamingAFile",
                 {},
                 {"stoplight-v2.img"},
                 0,
                 {Line("Bootloader activated.")},
                 0,
                 {"warning: \"stoplight-v2.img\" is read by korvel as the command STOP",
                  "write it as a path: \"./stoplight-v2.img\""}},
        NoteCase{"HwParamsDecoded",
                 {},
                 {"HWPARM0l12345"},
                 0,
                 {Line("Bootloader activated."), Line("Eeprom flashed.")},
                 0,
                 {"\"HWPARM0l12345\": korvel programs the EEPROM's first bytes as 00 39 30 00 00 "
                  "(parameter 0x00, number 12,345)",
                  "warning: the parameter \"0l\" is not two hexadecimal digits"}},
        NoteCase{"CtrlCAnswered",
                 Paced(),
                 {"{image}"},
                 4,
                 {Line("Bootloader activated."), kFlashedVersion24, Line("Firmware flashed.")},
                 0,
                 {"can't stop now: about "}}),
    CaseName<NoteCase>);

// --- The progress channel for programs (KORVEL_PROGRESS_FD) ----------------

// What the test gives korvel as its descriptor 3, and what it finds there.
enum class ChannelEnd {
  kNone,      // nothing open at 3
  kPipe,      // a pipe the test reads after the run
  kFullPipe,  // a pipe already full when korvel starts, never read meanwhile
  kNoReader,  // a pipe whose reader has gone
};

struct ChannelCase {
  const char* name;
  const char* setting;  // KORVEL_PROGRESS_FD, or nullptr
  ChannelEnd end;
  bool linesExpected;  // the pipe gets one line per block, else nothing
};

class ProgressChannelTest : public ::testing::TestWithParam<ChannelCase> {};

// What is in the pipe's read end |fd| now.
std::string ReadAvailable(int fd) {
  std::string text;
  char chunk[4096];
  for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;)
    text.append(chunk, static_cast<size_t>(n));
  return text;
}

TEST_P(ProgressChannelTest, WritesABlockLineOrChangesNothing) {
  const ChannelCase& row = GetParam();
  TempDir dir;
  const Bytes image = FirmwareImage(10 * 64);
  const std::string path = dir.WriteFile("firmware.img", image).string();

  // 1. The channel's end: a pipe whose read end the test keeps (non-blocking).
  int ends[2] = {-1, -1};
  std::string prefill;
  if (row.end != ChannelEnd::kNone) {
    ASSERT_EQ(pipe2(ends, O_CLOEXEC | O_NONBLOCK), 0);
    if (row.end == ChannelEnd::kFullPipe) {
      // Filled to its last byte: a write that waited for room would wait
      // for ever, as the test reads nothing until korvel has ended.
      const std::string chunk(512, 'x');
      for (ssize_t n; (n = write(ends[1], chunk.data(), chunk.size())) > 0;)
        prefill.append(chunk, 0, static_cast<size_t>(n));
      ASSERT_EQ(errno, EAGAIN);
    }
    if (row.end == ChannelEnd::kNoReader) {
      close(ends[0]);
      ends[0] = -1;
    }
  }
  RunOptions options;
  if (row.setting != nullptr)
    options.environment = {std::string("KORVEL_PROGRESS_FD=") + row.setting};
  options.descriptor3 = ends[1];
  options.timeout = std::chrono::milliseconds(20000);

  // 2. The run: its lines, status and wire traffic are those of any run.
  SimulatedDevice device;
  const RunResult run = RunKorvel({device.port(), path}, options);
  if (ends[1] >= 0) close(ends[1]);
  EXPECT_TRUE(RunIs(run,
                    ActivatedStart() + ExpectedLines{Line("Flashing firmware version 2.4."),
                                                     Line("Firmware flashed.")},
                    0));
  const DevsimRecord seen =
      device.WaitFor([](const DevsimRecord& record) { return record.resets > 0; });
  EXPECT_TRUE(FramesAre(seen.frames, RunFrames(image, kProgramFlash)));
  EXPECT_EQ(seen.strayBytes, 0);
  EXPECT_EQ(seen.corruptFrames, 0);

  // 3. The channel: "block 0/10" once erased, then one line per block.
  std::string expected = prefill;
  if (row.linesExpected) {
    for (unsigned block = 0; block <= 10; ++block) {
      expected +=
          "block " + std::to_string(block) + "/10 bytes " + std::to_string(block * 64) + "/640\n";
    }
  }
  if (ends[0] >= 0) {
    EXPECT_EQ(ReadAvailable(ends[0]), expected);
    close(ends[0]);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Progress, ProgressChannelTest,
    ::testing::Values(ChannelCase{"LinePerBlockIntoAPipe", "3", ChannelEnd::kPipe, true},
                      ChannelCase{"FullPipeDropsTheLines", "3", ChannelEnd::kFullPipe, false},
                      ChannelCase{"ReaderGone", "3", ChannelEnd::kNoReader, false},
                      // Not open: the port itself may get number 3, and
                      // must not get a line.
                      ChannelCase{"DescriptorNotOpen", "3", ChannelEnd::kNone, false},
                      ChannelCase{"NotADescriptorNumber", "+3", ChannelEnd::kPipe, false},
                      ChannelCase{"TrailingBlank", "3 ", ChannelEnd::kPipe, false},
                      ChannelCase{"StandardOutputRefused", "1", ChannelEnd::kPipe, false},
                      ChannelCase{"NotSet", nullptr, ChannelEnd::kPipe, false}),
    CaseName<ChannelCase>);

}  // namespace
}  // namespace korvel_e2e
