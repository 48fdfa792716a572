// The progress line: a bar, blocks and bytes done, percent, rate and time
// left, redrawn in place with a carriage return.
#include "common/progress.h"

#include <chrono>
#include <cstdio>
#include <string>

#include "common/report.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr int kBarWidth = 24;

struct ProgressLine {
  bool active = false;
  uint32_t totalBlocks = 0;
  uint32_t totalBytes = 0;
  Clock::time_point start;
  Clock::time_point lastDraw;
  size_t drawnWidth = 0;  // characters on screen, to blank them when clearing
};

ProgressLine line;

std::string Render(uint32_t blocksDone, uint32_t bytesDone, double seconds) {
  const double fraction =
      line.totalBytes > 0 ? static_cast<double>(bytesDone) / line.totalBytes : 1.0;
  const int filled = static_cast<int>(fraction * kBarWidth);
  std::string text = "[" + std::string(static_cast<size_t>(filled), '#') +
                     std::string(static_cast<size_t>(kBarWidth - filled), '.') + "]";

  char details[160];
  const double rate = seconds > 0.0 ? bytesDone / seconds : 0.0;
  if (rate > 0.0 && bytesDone < line.totalBytes) {
    const auto left = static_cast<unsigned>((line.totalBytes - bytesDone) / rate + 0.5);
    std::snprintf(details, sizeof details, " %u/%u blocks %u/%u bytes %3u%% %.0f B/s %u:%02u left",
                  blocksDone, line.totalBlocks, bytesDone, line.totalBytes,
                  static_cast<unsigned>(fraction * 100.0), rate, left / 60, left % 60);
  } else {
    std::snprintf(details, sizeof details, " %u/%u blocks %u/%u bytes %3u%%", blocksDone,
                  line.totalBlocks, bytesDone, line.totalBytes,
                  static_cast<unsigned>(fraction * 100.0));
  }
  return text + details;
}

void Draw(const std::string& text) {
  // Pad over what the previous drawing left, then return to the start.
  std::string padded = text;
  if (padded.size() < line.drawnWidth) padded.append(line.drawnWidth - padded.size(), ' ');
  std::fprintf(stderr, "\r%s", padded.c_str());
  std::fflush(stderr);
  line.drawnWidth = padded.size();
}

}  // namespace

void ProgressBegin(uint32_t totalBlocks, uint32_t totalBytes) {
  if (!StandardErrorIsTerminal()) return;
  const unsigned long savedError = LastSystemError();
  line = ProgressLine{};
  line.active = true;
  line.totalBlocks = totalBlocks;
  line.totalBytes = totalBytes;
  line.start = Clock::now();
  line.lastDraw = line.start;
  Draw(Render(0, 0, 0.0));
  SetLastSystemError(savedError);
}

void ProgressUpdate(uint32_t blocksDone, uint32_t bytesDone) {
  if (!line.active) return;
  const Clock::time_point now = Clock::now();
  if (now - line.lastDraw < kRedrawInterval && blocksDone < line.totalBlocks) return;
  const unsigned long savedError = LastSystemError();
  line.lastDraw = now;
  Draw(Render(blocksDone, bytesDone, std::chrono::duration<double>(now - line.start).count()));
  SetLastSystemError(savedError);
}

void ProgressEnd() {
  if (!line.active) return;
  const unsigned long savedError = LastSystemError();
  std::fprintf(stderr, "\r%s\r", std::string(line.drawnWidth, ' ').c_str());
  std::fflush(stderr);
  line.active = false;
  SetLastSystemError(savedError);
}
