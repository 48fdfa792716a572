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

bool SawLine(const GangRun& job, std::string_view text) {
  return std::find(job.lines.begin(), job.lines.end(), text) != job.lines.end();
}

bool IsOver(const GangRun& job) {
  return job.outcome != RunOutcome::kRunning;
}

// |text| cut to |width| characters, "..." in front of what is kept.
std::string CutFront(const std::string& text, size_t width) {
  if (text.size() <= width) return text;
  if (width <= 3) return text.substr(text.size() - width);
  return "..." + text.substr(text.size() - (width - 3));
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

std::string RunRow(const GangRun& job, GangClock::time_point now, size_t portWidth) {
  char seconds[16];
  std::snprintf(seconds, sizeof seconds, "%6.1f s", RunSeconds(job, now));
  std::string detail;
  if (!IsOver(job) && job.programming && !SawLine(job, "Firmware flashed.") &&
      !SawLine(job, "Eeprom flashed.")) {
    detail = ProgressText(job.progress);
  } else if (IsOver(job)) {
    detail = LastResultLine(job);
  }
  return Padded(CutFront(Printable(job.port), portWidth), portWidth) + "  " +
         Padded(RunPhase(job), kPhaseWidth) + " " + seconds + "  " + detail;
}

// The port column's width for the runs of |gang| at |columns|.
size_t PortWidth(const Gang& gang, int columns) {
  size_t longestPort = 0;
  for (const GangRun& job : gang.runs) longestPort = std::max(longestPort, job.port.size());
  return std::min(longestPort, static_cast<size_t>(std::max(columns / kPortShare, 8)));
}

// |text| to the terminal in one piece. A terminal that went away takes
// nothing, and there is no board any more to speak of.
void WriteAll(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

}  // namespace

std::string RunPhase(const GangRun& job) {
  switch (job.outcome) {
    case RunOutcome::kPassed:
      return "passed";
    case RunOutcome::kFailed:
      return "FAILED";
    case RunOutcome::kTimedOut:
      return "TIMED OUT";
    case RunOutcome::kStopped:
      return "stopped";
    case RunOutcome::kNotStarted:
      return "not started";
    case RunOutcome::kRunning:
      break;
  }
  // korvel's own lines say how far it is; the channel says when the erase
  // is over (its first line) and how many blocks went out.
  if (SawLine(job, "Firmware flashed.") || SawLine(job, "Eeprom flashed.")) return "resetting";
  if (job.programming) return "programming";
  if (SawLine(job, "Bootloader activated.")) return "erasing";
  if (!job.lines.empty()) return "waking";
  return "starting";
}

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
  int running = 0, passed = 0, failed = 0;
  for (const GangRun& job : gang.runs) {
    if (!IsOver(job)) ++running;
    if (job.outcome == RunOutcome::kPassed) ++passed;
    if (IsOver(job) && job.outcome != RunOutcome::kPassed) ++failed;
  }

  // 1. The head line: the counts, and what the gang waits for.
  char head[160];
  std::snprintf(head, sizeof head, "korvel-gang: %zu runs, %d running, %d passed, %d failed",
                gang.runs.size(), running, passed, failed);
  std::string headLine = head;
  if (gang.stopRequests > 0 && running > 0) {
    headLine += " - stopping, waiting for the running ones";
  } else if (!gang.options.watchPattern.empty() && gang.stopRequests == 0) {
    headLine += " - watching " + Printable(gang.options.watchPattern) + " (Ctrl+C ends)";
  }
  std::vector<std::string> board = {headLine};

  // 2. Which runs get a row: all when they fit; otherwise the running
  // ones first, then the latest to end, and a row that counts the rest.
  const size_t room = static_cast<size_t>(std::max(rows - 2, 1));  // head, cursor row
  std::vector<size_t> shown;
  for (size_t i = 0; i < gang.runs.size(); ++i) shown.push_back(i);
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
  const size_t portWidth = PortWidth(gang, columns);
  for (size_t index : shown) board.push_back(RunRow(gang.runs[index], now, portWidth));
  if (shown.size() < gang.runs.size()) {
    board.push_back("... and " + std::to_string(gang.runs.size() - shown.size()) +
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
  const size_t portWidth = PortWidth(gang, columns);
  shownPhases->resize(gang.runs.size());
  std::vector<std::string> lines;
  for (size_t i = 0; i < gang.runs.size(); ++i) {
    std::string phase = RunPhase(gang.runs[i]);
    if (phase == (*shownPhases)[i]) continue;
    (*shownPhases)[i] = std::move(phase);
    std::string line = RunRow(gang.runs[i], now, portWidth);
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
