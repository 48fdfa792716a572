// The summary at the end, fitted to the terminal's width, and the labels
// that tell the ports apart on the board, in the summary and on the page.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/gang/gang.h"

namespace {

// The columns that are never cut: status and seconds, and the gaps.
constexpr size_t kGap = 2;
constexpr size_t kSecondsWidth = 7;
// The narrowest the port and result columns get when the width is short.
constexpr size_t kNarrowestPort = 12;
constexpr size_t kNarrowestResult = 16;

std::string RightAligned(const std::string& text, size_t width) {
  return std::string(width > text.size() ? width - text.size() : 0, ' ') + text;
}

struct SummaryColumns {
  size_t port = 4;    // "port"
  size_t usb = 0;     // "usb": vendor:product, when any run has them
  size_t result = 6;  // "result"
  size_t tries = 0;   // "tries", with --retries
  size_t status = 6;  // "status"
};

// The widths the contents ask for, then narrowed to |columns| (0: any
// width): the port column first, down to its narrowest, then the result.
SummaryColumns FitColumns(const Gang& gang, const std::vector<size_t>& finals, int columns) {
  SummaryColumns widths;
  for (size_t final : finals) {
    const GangRun& job = gang.runs[final];
    widths.port = std::max(widths.port, PortLabel(job).size());
    if (!job.usbIds.empty()) widths.usb = std::max<size_t>(widths.usb, job.usbIds.size());
    widths.result = std::max(widths.result, ResultText(job, gang.options).size());
    widths.status = std::max(widths.status, StatusText(job).size());
  }
  if (widths.usb > 0) widths.usb = std::max<size_t>(widths.usb, 3);
  if (gang.options.retries > 0) widths.tries = 5;
  if (columns <= 0) return widths;
  const size_t limit = static_cast<size_t>(columns - 1);  // never into the last column
  const size_t fixed = (widths.usb > 0 ? widths.usb + kGap : 0) +
                       (widths.tries > 0 ? widths.tries + kGap : 0) + widths.status + kGap +
                       kSecondsWidth + 2 * kGap;
  const size_t room = limit > fixed ? limit - fixed : 0;
  if (widths.port + widths.result > room) {
    const size_t resultWanted = std::max(kNarrowestResult, room > widths.port ? 0 : room / 2);
    widths.port =
        std::min(widths.port, std::max(kNarrowestPort, room - std::min(room, resultWanted)));
    widths.result = std::max<size_t>(room > widths.port ? room - widths.port : 0, 8);
  }
  return widths;
}

std::string SummaryRow(const SummaryColumns& widths, const std::string& port,
                       const std::string& usb, const std::string& result, const std::string& tries,
                       const std::string& status, const std::string& seconds) {
  std::string row = Padded(CutFront(port, widths.port), widths.port + kGap);
  if (widths.usb > 0) row += Padded(usb, widths.usb + kGap);
  row += Padded(CutEnd(result, widths.result), widths.result + kGap);
  if (widths.tries > 0) row += RightAligned(tries, widths.tries) + std::string(kGap, ' ');
  return row + RightAligned(status, widths.status) + std::string(kGap, ' ') +
         RightAligned(seconds, kSecondsWidth) + "\n";
}

// How often |job|'s port appeared in all.
int Appearances(const Gang& gang, const GangRun& job) {
  int most = 0;
  for (const GangRun& other : gang.runs) {
    if (other.port == job.port) most = std::max(most, other.appearance);
  }
  return most;
}

// The closing line: the devices that passed, and each appearance that did
// not, named as far as the width allows.
std::string Verdict(const Gang& gang, const std::vector<size_t>& finals, int columns) {
  std::vector<std::string> failed;
  for (size_t final : finals) {
    const GangRun& job = gang.runs[final];
    if (job.outcome == RunOutcome::kPassed) continue;
    std::string name = PortLabel(job);
    // A port that came more than once is named with the appearance meant.
    if (Appearances(gang, job) > 1) name += " (" + std::to_string(job.appearance) + ")";
    failed.push_back(name);
  }
  const bool station = !gang.options.watchPattern.empty();
  std::string verdict = "korvel-gang: " + std::to_string(finals.size() - failed.size()) + " of " +
                        std::to_string(finals.size()) + (station ? " devices" : " runs") +
                        " passed";
  const size_t limit = columns > 0 ? static_cast<size_t>(columns - 1) : std::string::npos;
  const size_t count = failed.size();
  for (size_t i = 0; i < count; ++i) {
    const std::string next = (i == 0 ? "; not passed: " : ", ") + failed[i];
    const std::string tail =
        i + 1 == count ? "" : ", and " + std::to_string(count - i - 1) + " more";
    if (verdict.size() + next.size() + tail.size() > limit) {
      verdict += i == 0 ? "; " + std::to_string(count) + " not passed"
                        : ", and " + std::to_string(count - i) + " more";
      break;
    }
    verdict += next;
  }
  return verdict + "\n";
}

}  // namespace

std::string CutFront(const std::string& text, size_t width) {
  if (text.size() <= width) return text;
  if (width <= 3) return text.substr(text.size() - width);
  return "..." + text.substr(text.size() - (width - 3));
}

std::string CutEnd(const std::string& text, size_t width) {
  if (text.size() <= width) return text;
  if (width <= 3) return text.substr(0, width);
  return text.substr(0, width - 3) + "...";
}

std::string Padded(std::string text, size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

std::string PortLabel(const GangRun& job) {
  return AsciiPrintable(job.label.empty() ? job.port : job.label);
}

std::string SummaryText(const Gang& gang, int columns) {
  const std::vector<size_t> finals = FinalRuns(gang);
  const SummaryColumns widths = FitColumns(gang, finals, columns);
  std::vector<std::string> lines = {
      SummaryRow(widths, "port", "usb", "result", "tries", "status", "seconds")};
  for (size_t final : finals) {
    const GangRun& job = gang.runs[final];
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", DeviceSeconds(gang, final, job.ended));
    lines.push_back(SummaryRow(widths, PortLabel(job), job.usbIds, ResultText(job, gang.options),
                               std::to_string(AttemptsOf(gang, final).size()), StatusText(job),
                               seconds));
  }
  lines.push_back(Verdict(gang, finals, columns));
  // Narrower than the narrowest columns: no line reaches the last column,
  // where the terminal would wrap it.
  std::string text;
  for (std::string& line : lines) {
    if (columns > 0 && line.size() > static_cast<size_t>(columns)) {
      line.resize(static_cast<size_t>(columns - 1));
      line += '\n';
    }
    text += line;
  }
  return text;
}
