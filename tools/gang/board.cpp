// The live board: one row per run on the gang's terminal, redrawn in place.
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/gang/gang.h"

namespace {

constexpr int kBarWidth = 12;
constexpr int kPhaseWidth = 11;  // "programming"
// The port column takes at most a third of the width; longer names are
// cut at their front (by-id names differ at their end).
constexpr int kPortShare = 3;
// Assumed when the terminal does not tell its size.
constexpr int kDefaultColumns = 80;
constexpr int kDefaultRows = 24;

bool IsOver(const GangRun& job) {
  return job.outcome != RunOutcome::kRunning;
}

std::string Padded(std::string text, size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

// "[#####.....] 512/1024  50%" for a run whose blocks are going out.
std::string ProgressText(const ProgressState& progress) {
  const double fraction =
      progress.totalBytes > 0 ? static_cast<double>(progress.bytesDone) / progress.totalBytes : 1.0;
  const int filled = std::clamp(static_cast<int>(fraction * kBarWidth), 0, kBarWidth);
  // Appended piece by piece: GCC 12 at -O3 reports a false -Wrestrict
  // inside the library's operator+ for a string made of a literal and a
  // temporary.
  std::string text(1, '[');
  text.append(static_cast<size_t>(filled), '#');
  text.append(static_cast<size_t>(kBarWidth - filled), '.');
  text.push_back(']');
  char numbers[48];
  std::snprintf(numbers, sizeof numbers, " %u/%u %3u%%", progress.blocksDone, progress.totalBlocks,
                static_cast<unsigned>(fraction * 100.0));
  return text.append(numbers);
}

std::string RunRow(const Gang& gang, size_t index, GangClock::time_point now, size_t portWidth,
                   size_t usbWidth) {
  const GangRun& job = gang.runs[index];
  char seconds[16];
  std::snprintf(seconds, sizeof seconds, "%6.1f s", DeviceSeconds(gang, index, now));
  std::string detail;
  if (!IsOver(job) && RunActivity(job) == "programming") {
    detail = ProgressText(job.progress);
  } else if (IsOver(job)) {
    detail = ResultText(job, gang.options);
    if (RetryPending(gang, index)) detail = "trying again: " + detail;
  }
  if (job.attempt > 1) detail = "attempt " + std::to_string(job.attempt) + ": " + detail;
  std::string row = Padded(CutFront(PortLabel(job), portWidth), portWidth) + "  ";
  if (usbWidth > 0) row += Padded(job.usbIds, usbWidth) + "  ";
  return row + Padded(RunPhase(job), kPhaseWidth) + " " + seconds + "  " + detail;
}

// The head line: the counts of the devices, and what the gang waits for.
std::string HeadLine(const Gang& gang) {
  const DeviceCounts counts = CountDevices(gang);
  const bool station = !gang.options.watchPattern.empty();
  char head[160];
  std::snprintf(head, sizeof head, "korvel-gang: %d %s, %d running, %d passed, %d failed",
                counts.devices, station ? "devices" : "runs", counts.running, counts.passed,
                counts.failures + counts.errors);
  std::string headLine = head;
  if (gang.stopRequests > 0 && counts.running > 0) {
    headLine += " - stopping, waiting for the running ones";
  } else if (station && gang.stopRequests == 0) {
    headLine += " - watching " + Printable(gang.options.watchPattern) + " (Ctrl+C ends)";
  }
  return headLine;
}

// The terminal's size on standard output, asked anew at every drawing.
void TerminalSize(int* columns, int* rows) {
  winsize size{};
  const bool known = ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0;
  *columns = known && size.ws_col > 0 ? size.ws_col : kDefaultColumns;
  *rows = known && size.ws_row > 0 ? size.ws_row : kDefaultRows;
}

void WriteAll(const std::string& text) {
  const char* data = text.data();
  size_t left = text.size();
  while (left > 0) {
    const ssize_t written = write(STDOUT_FILENO, data, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;  // a terminal that went away: no board
    data += written;
    left -= static_cast<size_t>(written);
  }
}

}  // namespace

std::string Printable(std::string_view text) {
  std::string shown(text);
  for (char& c : shown) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte > 0x7E) c = '?';
  }
  return shown;
}

std::string LastResultLineRaw(const GangRun& job) {
  if (!job.startError.empty()) return job.startError;
  for (auto line = job.lines.rbegin(); line != job.lines.rend(); ++line) {
    if (!line->empty()) return *line;
  }
  return "";
}

std::string LastResultLine(const GangRun& job) {
  return Printable(LastResultLineRaw(job));
}

std::vector<std::string> BoardRows(const Gang& gang, GangClock::time_point now, int columns,
                                   int rows) {
  const size_t limit = static_cast<size_t>(std::max(columns - 1, 0));
  std::vector<std::string> board = {HeadLine(gang)};
  // 1. One row per device: its last attempt.
  std::vector<size_t> shown = FinalRuns(gang);
  const size_t devices = shown.size();
  size_t longestPort = 0;
  size_t usbWidth = 0;
  for (size_t index : shown) {
    longestPort = std::max(longestPort, PortLabel(gang.runs[index]).size());
    usbWidth = std::max(usbWidth, gang.runs[index].usbIds.size());
  }

  // 2. Which get a row: all when they fit; otherwise the running ones
  // first, then the latest to end, and a row that counts the rest.
  const size_t room = static_cast<size_t>(std::max(rows - 2, 1));  // head, cursor row
  if (shown.size() > room) {
    std::stable_sort(shown.begin(), shown.end(), [&](size_t a, size_t b) {
      const bool aRunning = !IsOver(gang.runs[a]);
      const bool bRunning = !IsOver(gang.runs[b]);
      if (aRunning != bRunning) return aRunning;
      return gang.runs[a].ended > gang.runs[b].ended;
    });
    shown.resize(room > 1 ? room - 1 : 0);
    std::sort(shown.begin(), shown.end());
  }
  const size_t portWidth =
      std::min(longestPort, static_cast<size_t>(std::max(columns / kPortShare, 8)));
  for (size_t index : shown) board.push_back(RunRow(gang, index, now, portWidth, usbWidth));
  if (shown.size() < devices) {
    board.push_back("... and " + std::to_string(devices - shown.size()) +
                    " more (all of them in the summary)");
  }

  // 3. No row reaches the last column, where the terminal would wrap.
  for (std::string& row : board) {
    if (row.size() > limit) row.resize(limit);
  }
  return board;
}

int TerminalColumns() {
  if (isatty(STDOUT_FILENO) != 1) return 0;
  int columns = 0, rows = 0;
  TerminalSize(&columns, &rows);
  return columns;
}

void BoardStart(Board* board) {
  board->active = isatty(STDOUT_FILENO) == 1;
  board->drawnRows = 0;
  if (board->active) WriteAll("\x1b[?25l");  // no cursor jumping about
}

void BoardDraw(Board* board, const Gang& gang, GangClock::time_point now) {
  if (!board->active) return;
  int columns = 0, rows = 0;
  TerminalSize(&columns, &rows);
  const std::vector<std::string> board_rows = BoardRows(gang, now, columns, rows);
  // 1. Back to the board's first row: the cursor rests on the row below it.
  std::string text = "\r";
  if (board->drawnRows > 0) text += "\x1b[" + std::to_string(board->drawnRows) + "A";
  // 2. Each row over the old one, cleared to its end: no blank frame ever
  // shows. 3. What the last drawing had below is cleared.
  for (const std::string& row : board_rows) text += row + "\x1b[K\n";
  text += "\x1b[J";
  WriteAll(text);
  board->drawnRows = static_cast<int>(board_rows.size());
  board->lastDraw = now;
}

void BoardEnd(Board* board) {
  if (!board->active) return;
  std::string text = "\r";
  if (board->drawnRows > 0) text += "\x1b[" + std::to_string(board->drawnRows) + "A";
  text += "\x1b[J\x1b[?25h";
  WriteAll(text);
  board->active = false;
  board->drawnRows = 0;
}
