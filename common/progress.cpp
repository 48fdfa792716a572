// The progress line: a bar, blocks and bytes done, percent, rate and time
// left, redrawn in place with a carriage return.
#include "common/progress.h"

#include <chrono>
#include <cstdio>
#include <string>

#include "common/run_state.h"
#include "common/system.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr int kBarWidth = 24;

std::string Render(uint32_t blocksDone, uint32_t bytesDone, double seconds) {
  const double fraction =
      run.progress.totalBytes > 0 ? static_cast<double>(bytesDone) / run.progress.totalBytes : 1.0;
  const int filled = static_cast<int>(fraction * kBarWidth);
  std::string text = "[" + std::string(static_cast<size_t>(filled), '#') +
                     std::string(static_cast<size_t>(kBarWidth - filled), '.') + "]";

  char details[160];
  const double rate = seconds > 0.0 ? bytesDone / seconds : 0.0;
  if (rate > 0.0 && bytesDone < run.progress.totalBytes) {
    const auto left = static_cast<unsigned>((run.progress.totalBytes - bytesDone) / rate + 0.5);
    std::snprintf(details, sizeof details, " %u/%u blocks %u/%u bytes %3u%% %.0f B/s %u:%02u left",
                  blocksDone, run.progress.totalBlocks, bytesDone, run.progress.totalBytes,
                  static_cast<unsigned>(fraction * 100.0), rate, left / 60, left % 60);
  } else {
    std::snprintf(details, sizeof details, " %u/%u blocks %u/%u bytes %3u%%", blocksDone,
                  run.progress.totalBlocks, bytesDone, run.progress.totalBytes,
                  static_cast<unsigned>(fraction * 100.0));
  }
  return text + details;
}

void Draw(const std::string& text) {
  // Pad over what the previous drawing left, then return to the start.
  std::string padded = text;
  if (padded.size() < run.progress.drawnWidth)
    padded.append(run.progress.drawnWidth - padded.size(), ' ');
  std::fprintf(stderr, "\r%s", padded.c_str());
  std::fflush(stderr);
  run.progress.drawnWidth = padded.size();
}

}  // namespace

void ProgressBegin(uint32_t totalBlocks, uint32_t totalBytes) {
  if (!StandardErrorIsTerminal()) return;
  SystemErrorGuard keepError;
  run.progress = ProgressState{};
  run.progress.active = true;
  run.progress.totalBlocks = totalBlocks;
  run.progress.totalBytes = totalBytes;
  run.progress.start = Clock::now();
  run.progress.lastDraw = run.progress.start;
  Draw(Render(0, 0, 0.0));
}

void ProgressUpdate(uint32_t blocksDone, uint32_t bytesDone) {
  if (!run.progress.active) return;
  const Clock::time_point now = Clock::now();
  if (now - run.progress.lastDraw < kRedrawInterval && blocksDone < run.progress.totalBlocks)
    return;
  SystemErrorGuard keepError;
  run.progress.lastDraw = now;
  Draw(Render(blocksDone, bytesDone,
              std::chrono::duration<double>(now - run.progress.start).count()));
}

void ProgressEnd() {
  if (!run.progress.active) return;
  SystemErrorGuard keepError;
  std::fprintf(stderr, "\r%s\r", std::string(run.progress.drawnWidth, ' ').c_str());
  std::fflush(stderr);
  run.progress.active = false;
}
