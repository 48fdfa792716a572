// How a run ended, in words: one table for the reports, the board and the
// status column; what a run was doing, where it stopped and why.
#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>

#include "app/explanation.h"
#include "common/result_lines.h"
#include "tools/gang/gang.h"

namespace {

struct OutcomeWords {
  RunOutcome outcome;
  const char* report;  // the JSON and JUnit reports, the metrics, the page
  const char* board;   // the board's phase column: loud where it failed
  const char* status;  // the status column; "" where korvel's status stands
};

constexpr OutcomeWords kOutcomeWords[] = {
    {RunOutcome::kRunning, "running", "running", "running"},
    {RunOutcome::kPassed, "passed", "passed", ""},
    {RunOutcome::kFailed, "failed", "FAILED", ""},
    {RunOutcome::kTimedOut, "timed out", "TIMED OUT", "timeout"},
    {RunOutcome::kStopped, "stopped", "stopped", "stopped"},
    {RunOutcome::kNotStarted, "not started", "not started", "not started"},
};

bool SawLine(const GangRun& job, std::string_view text) {
  return std::find(job.lines.begin(), job.lines.end(), text) != job.lines.end();
}

bool Flashed(const GangRun& job) {
  return SawLine(job, kLineFirmwareFlashed) || SawLine(job, kLineEepromFlashed);
}

// "while programming block 5 of 16", "while erasing".
std::string WhileDoing(const RunStop& stop) {
  std::string text = "while " + stop.activity;
  if (stop.block > 0) {
    text += " block " + std::to_string(stop.block) + " of " + std::to_string(stop.blocks);
  }
  return text;
}

}  // namespace

std::string OutcomeText(RunOutcome outcome, OutcomeStyle style) {
  for (const OutcomeWords& words : kOutcomeWords) {
    if (words.outcome != outcome) continue;
    switch (style) {
      case OutcomeStyle::kReport:
        return words.report;
      case OutcomeStyle::kBoard:
        return words.board;
      case OutcomeStyle::kStatus:
        return words.status;
    }
  }
  return "";
}

std::string RunActivity(const GangRun& job) {
  // korvel's own lines say how far it is; the channel says when the erase
  // is over (its first line) and how many blocks went out.
  if (Flashed(job)) return "resetting";
  if (job.programming) return "programming";
  if (SawLine(job, kLineBootloaderActivated)) return "erasing";
  if (!job.lines.empty()) return "waking";
  return "starting";
}

std::string RunPhase(const GangRun& job) {
  if (job.outcome == RunOutcome::kRunning) return RunActivity(job);
  return OutcomeText(job.outcome, OutcomeStyle::kBoard);
}

RunStop StopOf(const GangRun& job) {
  RunStop stop;
  stop.activity = RunActivity(job);
  stop.blocks = job.progress.totalBlocks;
  if (job.programming && !Flashed(job)) {
    stop.block = std::min(job.progress.blocksDone + 1, std::max(job.progress.totalBlocks, 1u));
  }
  // Reports nest innermost first: the first one names the step that failed.
  const RunAccount account = ReadRunAccount(job.lines);
  if (!account.reports.empty()) {
    stop.step = account.reports.front().step;
    stop.errorCode = account.reports.front().code;
  }
  return stop;
}

std::string RunReason(const GangRun& job, const GangOptions& options) {
  char limit[32];
  std::snprintf(limit, sizeof limit, "%g", options.timeLimitSeconds);
  switch (job.outcome) {
    case RunOutcome::kRunning:
    case RunOutcome::kPassed:
      return "";
    case RunOutcome::kTimedOut:
      return std::string("Ended at the time limit of ") + limit + " s " + WhileDoing(StopOf(job)) +
             ".";
    case RunOutcome::kStopped:
      return "Ended by a stop request " + WhileDoing(StopOf(job)) + ".";
    case RunOutcome::kNotStarted:
      return job.startError;
    case RunOutcome::kFailed:
      break;
  }
  return KorvelExplanation(job);
}

std::string ResultText(const GangRun& job, const GangOptions& options) {
  if (job.outcome == RunOutcome::kRunning || job.outcome == RunOutcome::kPassed) {
    return LastResultLine(job);
  }
  // What failed, and where: the reason's first sentence. The rest (the
  // likely cause and fix) is in the reports and on the page.
  const std::string reason = RunReason(job, options);
  const size_t end = reason.find(". ");
  return AsciiPrintable(end == std::string::npos ? reason : reason.substr(0, end + 1));
}
