// Retries (--retries N): a failed run starts again from the beginning, after
// a pause, when a second try can mend what went wrong. Every run begins
// with the chip erase, so a repeated run leaves the same device.
#include <algorithm>
#include <string>

#include "app/explanation.h"
#include "common/result_lines.h"
#include "tools/gang/gang.h"

namespace {

// A port that went away comes back after its adapter's re-enumeration,
// which takes about a second: the next try waits that long.
constexpr auto kRetryPause = std::chrono::seconds(2);

// The steps of korvel's failure reports that a second try can't mend: the
// image file (it was checked before the gang started, so it changed since)
// and a line setting the port refuses (the activation baud given).
constexpr const char* kLastingSteps[] = {
    "ReadImage",
    "Reading in the data failed",
    "Wrong image type",
    "File to big",
    "Reading in the file failed",
    "GetFileInformationByHandle",
    "BuildCommDCB",
    "SetCommState",
    "GetCommState",
};

// Whether a later appearance of the failed run's port has a run.
bool NextAppearanceStarted(const Gang& gang, size_t failedRun) {
  const GangRun& failed = gang.runs[failedRun];
  return std::any_of(gang.runs.begin() + static_cast<std::ptrdiff_t>(failedRun) + 1,
                     gang.runs.end(), [&](const GangRun& later) {
                       return later.port == failed.port && later.appearance > failed.appearance;
                     });
}

}  // namespace

bool IsRetryable(const GangRun& job) {
  // Only runs that korvel itself ended: the gang's time limit, a stop
  // request or a korvel that can't start are no chance mishap.
  if (job.outcome != RunOutcome::kFailed || job.termSignal != 0) return false;
  // Any step of the nested reports may tell: the image's "ReadImage" comes
  // after the file's own "CreateFile", a port that can't be opened reports
  // "CreateFile" (busy or gone: worth a try) or the setting it refused.
  const RunAccount account = ReadRunAccount(job.lines);
  if (account.resultLine == kLineHwParamInvalid) return false;
  return std::none_of(
      account.reports.begin(), account.reports.end(), [](const ReportedFailure& report) {
        return std::find(std::begin(kLastingSteps), std::end(kLastingSteps), report.step) !=
               std::end(kLastingSteps);
      });
}

bool RetryPending(const Gang& gang, size_t runIndex) {
  return std::any_of(gang.retries.begin(), gang.retries.end(),
                     [&](const PendingRetry& retry) { return retry.failedRun == runIndex; });
}

void ScheduleRetry(Gang* gang, size_t runIndex, GangClock::time_point now) {
  const GangRun& job = gang->runs[runIndex];
  if (gang->stopRequests > 0 || job.attempt > gang->options.retries || !IsRetryable(job)) return;
  gang->retries.push_back(PendingRetry{runIndex, now + kRetryPause});
}

GangClock::time_point StartDueRetries(Gang* gang, GangClock::time_point now) {
  // A stop request starts nothing more, retries included.
  if (gang->stopRequests > 0) gang->retries.clear();
  GangClock::time_point next = GangClock::time_point::max();
  std::vector<PendingRetry> waiting;
  std::vector<PendingRetry> due;
  for (const PendingRetry& retry : gang->retries) {
    (retry.due <= now ? due : waiting).push_back(retry);
    if (retry.due > now) next = std::min(next, retry.due);
  }
  gang->retries = std::move(waiting);
  for (const PendingRetry& retry : due) {
    // A station that saw the port go and come back has started its next
    // appearance already: that run takes the retry's place.
    if (NextAppearanceStarted(*gang, retry.failedRun)) continue;
    GangRun& failed = gang->runs[retry.failedRun];
    failed.retried = true;
    const std::string port = failed.port;  // a copy: the runs may move
    LaunchRun(gang, port, failed.appearance, retry.failedRun);
  }
  return next;
}
