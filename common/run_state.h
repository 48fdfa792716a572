// The state of the run that outlives any one call: one record, owned here,
// read and written by the one thread of the run. The operations that use a
// field say so in their own headers.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

// Bytes moved by MyWriteFile and MyReadFile during the run (not the sync
// exchange, which uses the port directly).
struct TrafficCounters {
  int32_t written = 0;
  int32_t read = 0;
};

// How a reply read ends. Standard: by the receive rule alone (20 ms of
// silence after a byte, 150 ms per read, 285 bytes). Fast (KORVEL_FAST=1):
// also once the bytes so far form a whole reply frame and the line has then
// been quiet for 1 ms (see MyReadFile).
// Stream (a network port, whatever KORVEL_FAST says): on the frame as fast
// replies do, with waits that allow for a network (see MyReadFile).
enum class ReplyTiming { kStandard, kFast, kStream };

// The built-in 512-byte EEPROM image: byte 0 the hardware parameter byte,
// bytes 1-4 a 32-bit number (least significant byte first), 0xFF up to
// offset 255 and 0x00 from 256 on. Bytes 0-4 are 0xFF until SetHwParams.
using HwParamBlock = std::array<uint8_t, 512>;

// The built-in image before any hardware parameters are set.
constexpr HwParamBlock InitialHwParamImage() {
  HwParamBlock image{};
  for (size_t i = 0; i < 256; ++i) image[i] = 0xFF;  // upper half stays 0x00
  return image;
}

// What the line shows: the wake-up of the bootloader, or the programming.
enum class ProgressPhase { kActivating, kProgramming };

struct ProgressState {
  ProgressPhase phase = ProgressPhase::kProgramming;
  uint32_t probe = 0;       // activation: the sync probe going out, from 1
  uint32_t probeLimit = 0;  // activation: the most probes there will be
  uint32_t blocksDone = 0;
  uint32_t totalBlocks = 0;
  uint32_t bytesDone = 0;
  uint32_t totalBytes = 0;
  double seconds = 0.0;  // since programming started, for the rate and time left
  // What the phase takes in all, as estimated when it began: the time left
  // before a rate can be measured (activation: every probe unanswered).
  double estimatedSeconds = 0.0;
  // A keyboard interrupt came a moment ago: the line says that it can't
  // stop the run, and how long the run may still take.
  bool stopRefused = false;
};

// The progress line on standard error: whether it is drawn, what it shows,
// and what the terminal holds of it.
struct ProgressLine {
  bool active = false;
  ProgressState state{};
  std::chrono::steady_clock::time_point start{};
  std::chrono::steady_clock::time_point lastDraw{};
  size_t drawnWidth = 0;  // characters on screen, to blank them when clearing
  // Keyboard interrupts answered so far, and until when the answer shows.
  uint32_t interruptsAnswered = 0;
  std::chrono::steady_clock::time_point answerUntil{};
};

// The progress channel for a program that runs korvel: the descriptor its
// lines go to (-1: off), and the totals of the programming under way.
struct ProgressChannel {
  int descriptor = -1;
  uint32_t totalBlocks = 0;
  uint32_t totalBytes = 0;
  // How long the programming should take (ProgressExpect), for the line.
  double expectedSeconds = 0.0;
};

// A failure report as it was printed: the reporting source file and the
// step (both texts of static storage), and the error code it showed.
struct ReportRecord {
  const char* file = nullptr;
  const char* step = nullptr;
  unsigned long code = 0;
};

// What the run printed that tells how it ended: its failure reports,
// innermost first (the first few; a run prints at most four), and its last
// result line. What explains a failure to the user is worked out from
// these, as a program that reads the run's output would.
struct RunAccountRecord {
  std::array<ReportRecord, 8> reports{};
  size_t reportCount = 0;
  const char* resultLine = nullptr;  // without its line feed
};

// Everything the run keeps from one call to the next.
struct RunState {
  // Counted by MyWriteFile and MyReadFile.
  TrafficCounters traffic{};
  // How reply reads end, and how many bytes one write call of MyWriteFile
  // carries; chosen once, when the run starts (RunKorvel), from the port's
  // traits.
  ReplyTiming replyTiming = ReplyTiming::kStandard;
  uint32_t bytesPerWrite = 1;
  // The last reply read ended on its frame before the standard timing would
  // have ended it, so bytes the device sent after the frame may still come
  // in; DropReplyTail drops them before the next message goes out.
  bool replyTailPossible = false;
  // Carried by the next message that BuildMessage frames.
  uint8_t sequenceNumber = 1;
  // The built-in EEPROM image; SetHwParams fills its first five bytes.
  HwParamBlock hwParamImage = InitialHwParamImage();
  // The progress line of ProgressProbe, ProgressBegin, ProgressUpdate and
  // ProgressEnd.
  ProgressLine progress{};
  // The channel of ProgressChannelOpen, fed by ProgressBegin and
  // ProgressUpdate.
  ProgressChannel channel{};
  // Kept by ReportFailureAt and PrintResultLine.
  RunAccountRecord account{};
};

// The run's state. Constant-initialised: ready before any code runs.
extern RunState run;
