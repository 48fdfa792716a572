// The line's metrics in the Prometheus text format (version 0.0.4), for the
// textfile collectors of node_exporter and windows_exporter: the runs by
// result (a run is a device with its retries), the attempts, and the seconds
// a run took.
#include <algorithm>
#include <cstdio>
#include <string>

#include "tools/gang/gang.h"

namespace {

// Upper bounds of the seconds histogram: a small image takes seconds, a
// full one at 115,200 baud about half a minute, the time limit ten.
constexpr double kSecondsBuckets[] = {5, 10, 20, 30, 45, 60, 90, 120, 180, 300, 600};

constexpr RunOutcome kResults[] = {RunOutcome::kPassed, RunOutcome::kFailed, RunOutcome::kTimedOut,
                                   RunOutcome::kStopped, RunOutcome::kNotStarted};

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

// The label value of a result: its report name with '_' for the blank.
std::string ResultLabel(RunOutcome outcome) {
  std::string name = OutcomeText(outcome, OutcomeStyle::kReport);
  std::replace(name.begin(), name.end(), ' ', '_');
  return name;
}

void AddHead(const char* name, const char* type, const char* help, std::string* text) {
  *text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

// The histogram of the seconds of the devices that are done.
void AddSeconds(const Gang& gang, const std::vector<size_t>& done, std::string* text) {
  AddHead("korvel_gang_run_seconds", "histogram",
          "Seconds of a run, from its first attempt's start to its last one's end.", text);
  double sum = 0;
  for (size_t final : done) sum += DeviceSeconds(gang, final, gang.runs[final].ended);
  for (double bound : kSecondsBuckets) {
    const auto within = std::count_if(done.begin(), done.end(), [&](size_t final) {
      return DeviceSeconds(gang, final, gang.runs[final].ended) <= bound;
    });
    *text += "korvel_gang_run_seconds_bucket{le=\"" + Number(bound) + "\"} " +
             std::to_string(within) + "\n";
  }
  *text += "korvel_gang_run_seconds_bucket{le=\"+Inf\"} " + std::to_string(done.size()) + "\n";
  *text += "korvel_gang_run_seconds_sum " + Number(sum) + "\n";
  *text += "korvel_gang_run_seconds_count " + std::to_string(done.size()) + "\n";
}

}  // namespace

std::string MetricsText(const Gang& gang, GangClock::time_point) {
  const std::vector<size_t> done = DoneRuns(gang);
  std::string text;
  AddHead("korvel_gang_runs_total", "counter",
          "Runs korvel-gang is done with (a device with its retries), by the result of the last "
          "attempt.",
          &text);
  for (RunOutcome result : kResults) {
    const auto count = std::count_if(
        done.begin(), done.end(), [&](size_t final) { return gang.runs[final].outcome == result; });
    text += "korvel_gang_runs_total{result=\"" + ResultLabel(result) + "\"} " +
            std::to_string(count) + "\n";
  }
  AddHead("korvel_gang_attempts_total", "counter", "korvel runs started, retries included.", &text);
  text += "korvel_gang_attempts_total " + std::to_string(gang.runs.size()) + "\n";
  AddHead("korvel_gang_runs_running", "gauge", "Runs under way, or waiting for a retry.", &text);
  text += "korvel_gang_runs_running " + std::to_string(CountDevices(gang).running) + "\n";
  AddSeconds(gang, done, &text);
  AddHead("korvel_gang_start_time_seconds", "gauge",
          "When korvel-gang started, in seconds since the Unix epoch.", &text);
  text += "korvel_gang_start_time_seconds " + Number(static_cast<double>(gang.startedAt)) + "\n";
  return text;
}
