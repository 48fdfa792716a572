// The live board: one row per run on the gang's terminal, redrawn in place,
// or a line per change on a console that can't redraw.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/gang/gang.h"
#include "tools/gang/terminal.h"

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

// The port column's width for the devices |shown| at |columns|: their
// labels', at most a third of the width.
size_t PortWidth(const Gang& gang, const std::vector<size_t>& shown, int columns) {
  size_t longestPort = 0;
  for (size_t index : shown)
    longestPort = std::max(longestPort, PortLabel(gang.runs[index]).size());
  return std::min(longestPort, static_cast<size_t>(std::max(columns / kPortShare, 8)));
}

// The USB ids' column: as wide as the widest, none when no adapter is known.
size_t UsbWidth(const Gang& gang, const std::vector<size_t>& shown) {
  size_t width = 0;
  for (size_t index : shown) width = std::max(width, gang.runs[index].usbIds.size());
  return width;
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
    headLine += " - watching " + AsciiPrintable(gang.options.watchPattern) + " (Ctrl+C ends)";
  }
  return headLine;
}

// |text| to the terminal in one piece. A terminal that went away takes
// nothing, and there is no board any more to speak of.
void WriteAll(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

}  // namespace

std::string AsciiPrintable(std::string_view text) {
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
  return AsciiPrintable(LastResultLineRaw(job));
}

std::vector<std::string> BoardRows(const Gang& gang, GangClock::time_point now, int columns,
                                   int rows) {
  const size_t limit = static_cast<size_t>(std::max(columns - 1, 0));
  std::vector<std::string> board = {HeadLine(gang)};
  // 1. One row per device: its last attempt.
  std::vector<size_t> shown = FinalRuns(gang);
  const size_t devices = shown.size();
  const size_t portWidth = PortWidth(gang, shown, columns);
  const size_t usbWidth = UsbWidth(gang, shown);

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

std::vector<std::string> BoardChangeLines(const Gang& gang, GangClock::time_point now, int columns,
                                          std::vector<std::string>* shownPhases) {
  const size_t limit = static_cast<size_t>(std::max(columns - 1, 0));
  const std::vector<size_t> finals = FinalRuns(gang);
  const size_t portWidth = PortWidth(gang, finals, columns);
  const size_t usbWidth = UsbWidth(gang, finals);
  shownPhases->resize(gang.runs.size());
  std::vector<std::string> lines;
  for (size_t i : finals) {
    std::string phase = RunPhase(gang.runs[i]);
    if (phase == (*shownPhases)[i]) continue;
    (*shownPhases)[i] = std::move(phase);
    std::string line = RunRow(gang, i, now, portWidth, usbWidth);
    if (line.size() > limit) line.resize(limit);
    lines.push_back(std::move(line));
  }
  return lines;
}

void BoardStart(Board* board) {
  const TerminalKind kind = OpenTerminal();
  board->active = kind != TerminalKind::kNone;
  board->redrawn = kind == TerminalKind::kEscapes;
  board->drawnRows = 0;
  board->shownPhases.clear();
  if (board->redrawn) WriteAll("\x1b[?25l");  // no cursor jumping about
}

void BoardDraw(Board* board, const Gang& gang, GangClock::time_point now) {
  if (!board->active) return;
  int columns = 0, rows = 0;
  TerminalSize(kDefaultColumns, kDefaultRows, &columns, &rows);
  board->lastDraw = now;
  if (!board->redrawn) {
    std::string text;
    for (const std::string& line : BoardChangeLines(gang, now, columns, &board->shownPhases)) {
      text += line + "\n";
    }
    if (!text.empty()) WriteAll(text);
    return;
  }
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
}

void BoardEnd(Board* board) {
  if (board->redrawn) {
    std::string text = "\r";
    if (board->drawnRows > 0) text += "\x1b[" + std::to_string(board->drawnRows) + "A";
    text += "\x1b[J\x1b[?25h";
    WriteAll(text);
  }
  CloseTerminal();
  board->active = false;
  board->redrawn = false;
  board->drawnRows = 0;
}
