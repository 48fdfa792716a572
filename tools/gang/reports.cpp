// What the gang leaves behind: the JSON report and the JUnit XML report, and
// the JSON the page reads; one row per device (an appearance of a port),
// its attempts within it.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>
#include <string>

#include "tools/gang/gang.h"

namespace {

using Json = nlohmann::ordered_json;

std::string OutcomeName(RunOutcome outcome) {
  return OutcomeText(outcome, OutcomeStyle::kReport);
}

std::string Fixed(double value, int decimals) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

// korvel's output as it printed it: the lines, each with its line feed.
std::string Output(const GangRun& job) {
  std::string text;
  for (const std::string& line : job.lines) text += line + "\n";
  return text;
}

// What a text may be null for: nothing to tell.
Json TextOrNull(const std::string& text) {
  return text.empty() ? Json() : Json(text);
}

double GangSeconds(const Gang& gang, GangClock::time_point now) {
  return std::chrono::duration<double>(now - gang.started).count();
}

// The length of the UTF-8 sequence at |text[i]| when it is valid and a
// character XML 1.0 allows; 0 otherwise.
size_t AllowedCharacterLength(std::string_view text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char first = byte(i);
  if (first < 0x80) return first >= 0x20 || first == '\t' || first == '\n' || first == '\r';
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (first >= 0xC2 && first <= 0xDF) {
    length = 2;
  } else if (first >= 0xE0 && first <= 0xEF) {
    length = 3;
    if (first == 0xE0) low = 0xA0;   // no overlong forms
    if (first == 0xED) high = 0x9F;  // no surrogates
  } else if (first >= 0xF0 && first <= 0xF4) {
    length = 4;
    if (first == 0xF0) low = 0x90;
    if (first == 0xF4) high = 0x8F;  // nothing beyond U+10FFFF
  } else {
    return 0;
  }
  if (i + length > text.size() || byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  // U+FFFE and U+FFFF are no characters to XML.
  if (length == 3 && first == 0xEF && byte(i + 1) == 0xBF && byte(i + 2) >= 0xBE) return 0;
  return length;
}

// The result of one attempt: how it ended, where it stopped and why.
void AddAttemptFields(const Gang& gang, const GangRun& job, GangClock::time_point now,
                      Json* result) {
  const RunStop stop = StopOf(job);
  (*result)["outcome"] = OutcomeName(job.outcome);
  (*result)["exit_status"] = job.exitStatus >= 0 ? Json(job.exitStatus) : Json();
  (*result)["signal"] = job.termSignal != 0 ? Json(job.termSignal) : Json();
  (*result)["reason"] = TextOrNull(RunReason(job, gang.options));
  // Where it stopped: nowhere for a run that passed.
  const bool stopped = job.outcome != RunOutcome::kPassed;
  (*result)["activity"] = stopped ? Json(stop.activity) : Json();
  (*result)["step"] = TextOrNull(stop.step);
  (*result)["block"] = stop.block > 0 ? Json(stop.block) : Json();
  (*result)["blocks"] = stop.blocks > 0 ? Json(stop.blocks) : Json();
  (*result)["last_line"] = LastResultLineRaw(job);
  (*result)["image_argument"] = job.imageArgument;
  (*result)["image_sha256"] = TextOrNull(job.imageSha256);
  if (job.sequenceNumber >= 0) {
    // A number whose run did not pass is recorded as unused: the counter
    // has moved past it, so no other device gets it either.
    (*result)["hwparm_number"] = job.sequenceNumber;
    (*result)["hwparm_number_used"] = job.outcome == RunOutcome::kPassed;
  }
  (*result)["started"] = UtcTimeText(job.startedAt, true);
  (*result)["seconds"] = RunSeconds(job, now);
  (*result)["log"] = job.logPath;
}

// What a device's row holds: its port and adapter, its last attempt's
// result, and every attempt.
Json DeviceResult(const Gang& gang, size_t final, GangClock::time_point now, bool withOutput) {
  const GangRun& job = gang.runs[final];
  const std::vector<size_t> attempts = AttemptsOf(gang, final);
  Json result;
  result["port"] = job.port;
  result["appearance"] = job.appearance;
  result["label"] = PortLabel(job);
  result["serial_number"] = TextOrNull(job.serialNumber);
  result["usb_ids"] = TextOrNull(job.usbIds);
  result["firmware_version"] = TextOrNull(gang.image.version);
  AddAttemptFields(gang, job, now, &result);
  result["retry_pending"] = RetryPending(gang, final);
  result["progress"] = {{"blocks_done", job.progress.blocksDone},
                        {"blocks", job.progress.totalBlocks},
                        {"bytes_done", job.progress.bytesDone},
                        {"bytes", job.progress.totalBytes}};
  result["seconds"] = DeviceSeconds(gang, final, now);
  Json tries = Json::array();
  for (size_t index : attempts) {
    Json attempt = {{"attempt", gang.runs[index].attempt}};
    AddAttemptFields(gang, gang.runs[index], now, &attempt);
    tries.push_back(std::move(attempt));
  }
  result["attempts"] = std::move(tries);
  if (withOutput) result["output"] = job.lines;
  return result;
}

// The head of both JSON texts: the counts of the devices.
void AddCounts(const Gang& gang, Json* report) {
  const DeviceCounts counts = CountDevices(gang);
  (*report)["runs"] = counts.devices;
  (*report)["passed"] = counts.passed;
  (*report)["failed"] = counts.devices - counts.passed - counts.running;
  (*report)["running"] = counts.running;
  (*report)["attempts"] = gang.runs.size();
}

std::string Dump(const Json& json) {
  // Bytes that are not UTF-8 (a version text may hold anything) become
  // U+FFFD instead of failing the report.
  return json.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

// One JUnit test case: the device's attempts as one case, its last one's
// outcome as failure or error.
std::string TestCase(const Gang& gang, size_t final, GangClock::time_point now) {
  const GangRun& job = gang.runs[final];
  // A port that appears again in station mode is a test case of its own.
  std::string name = job.port;
  if (job.appearance > 1) name += " (" + std::to_string(job.appearance) + ")";
  std::string xml = "    <testcase classname=\"korvel-gang\" name=\"" + XmlEscape(name) +
                    "\" time=\"" + Fixed(DeviceSeconds(gang, final, now), 3) + "\">\n";
  const RunStop stop = StopOf(job);
  const std::vector<size_t> attempts = AttemptsOf(gang, final);
  const std::pair<const char*, std::string> properties[] = {
      {"serial_number", job.serialNumber},
      {"usb_ids", job.usbIds},
      {"firmware_version", gang.image.version},
      {"image_sha256", job.imageSha256},
      {"step", stop.step},
      {"block", stop.block > 0 ? std::to_string(stop.block) : ""},
      {"hwparm_number", job.sequenceNumber >= 0 ? std::to_string(job.sequenceNumber) : ""},
      {"attempts", std::to_string(attempts.size())}};
  xml += "      <properties>\n";
  for (const auto& [key, value] : properties) {
    if (value.empty()) continue;
    xml += "        <property name=\"" + std::string(key) + "\" value=\"" + XmlEscape(value) +
           "\"/>\n";
  }
  xml += "      </properties>\n";
  const std::string message = XmlEscape(RunReason(job, gang.options));
  if (job.outcome == RunOutcome::kFailed) {
    xml += "      <failure message=\"" + message + "\" type=\"exit status " +
           XmlEscape(StatusText(job)) + "\"/>\n";
  } else if (job.outcome != RunOutcome::kPassed) {
    xml += "      <error message=\"" + message + "\" type=\"" + OutcomeName(job.outcome) + "\"/>\n";
  }
  // Every attempt's output, each under a line naming it when there were
  // several.
  std::string output;
  for (size_t index : attempts) {
    if (attempts.size() > 1) {
      output += "korvel-gang: attempt " + std::to_string(gang.runs[index].attempt) + ", log " +
                gang.runs[index].logPath + "\n";
    }
    output += Output(gang.runs[index]);
  }
  xml += "      <system-out>" + XmlEscape(output) + "</system-out>\n";
  return xml + "    </testcase>\n";
}

}  // namespace

double RunSeconds(const GangRun& job, GangClock::time_point now) {
  const GangClock::time_point end = job.outcome == RunOutcome::kRunning ? now : job.ended;
  return std::max(0.0, std::chrono::duration<double>(end - job.started).count());
}

std::string StatusText(const GangRun& job) {
  const std::string word = OutcomeText(job.outcome, OutcomeStyle::kStatus);
  if (!word.empty()) return word;
  if (job.termSignal != 0) return "signal " + std::to_string(job.termSignal);
  return std::to_string(job.exitStatus);
}

std::string UtcTimeText(std::time_t time, bool zoneLetter) {
  // std::gmtime's result is shared by the program: only the gang's main
  // thread asks for the time (gmtime_r is POSIX's alone).
  const std::tm* found = std::gmtime(&time);
  const std::tm parts = found != nullptr ? *found : std::tm{};
  char text[32];
  std::strftime(text, sizeof text, zoneLetter ? "%Y-%m-%dT%H:%M:%SZ" : "%Y-%m-%dT%H:%M:%S", &parts);
  return text;
}

double DeviceSeconds(const Gang& gang, size_t final, GangClock::time_point now) {
  const GangRun& job = gang.runs[final];
  const GangRun& first = gang.runs[job.firstAttempt];
  const GangClock::time_point end = job.outcome == RunOutcome::kRunning ? now : job.ended;
  return std::max(0.0, std::chrono::duration<double>(end - first.started).count());
}

std::vector<size_t> FinalRuns(const Gang& gang) {
  std::vector<size_t> finals;
  for (size_t i = 0; i < gang.runs.size(); ++i) {
    if (!gang.runs[i].retried) finals.push_back(i);
  }
  // In the order the devices came: a retry is later in the runs.
  std::stable_sort(finals.begin(), finals.end(), [&](size_t a, size_t b) {
    return gang.runs[a].firstAttempt < gang.runs[b].firstAttempt;
  });
  return finals;
}

std::vector<size_t> DoneRuns(const Gang& gang) {
  std::vector<size_t> done;
  for (size_t final : FinalRuns(gang)) {
    if (gang.runs[final].outcome != RunOutcome::kRunning && !RetryPending(gang, final)) {
      done.push_back(final);
    }
  }
  return done;
}

std::vector<size_t> AttemptsOf(const Gang& gang, size_t final) {
  std::vector<size_t> attempts;
  for (size_t at = final; at < gang.runs.size(); at = gang.runs[at].previousAttempt) {
    attempts.insert(attempts.begin(), at);
  }
  return attempts;
}

DeviceCounts CountDevices(const Gang& gang) {
  DeviceCounts counts;
  for (size_t final : FinalRuns(gang)) {
    const GangRun& job = gang.runs[final];
    ++counts.devices;
    if (job.outcome == RunOutcome::kPassed) ++counts.passed;
    if (job.outcome == RunOutcome::kRunning || RetryPending(gang, final)) {
      ++counts.running;
    } else if (job.outcome == RunOutcome::kFailed) {
      ++counts.failures;
    } else if (job.outcome != RunOutcome::kPassed) {
      ++counts.errors;
    }
  }
  return counts;
}

std::string JsonReport(const Gang& gang, GangClock::time_point now) {
  Json report;
  report["image"] = TextOrNull(gang.options.image);
  report["hwparm_sequence"] = TextOrNull(gang.options.sequence);
  report["activation"] = TextOrNull(gang.options.activation);
  report["watch"] = TextOrNull(gang.options.watchPattern);
  report["started"] = UtcTimeText(gang.startedAt, true);
  report["seconds"] = GangSeconds(gang, now);
  report["log_dir"] = gang.batchDir;
  report["page"] = gang.server ? TextOrNull(BoardServerUrl(gang.server.get())) : Json();
  report["image_sha256"] = TextOrNull(gang.image.sha256);
  report["firmware_version"] = TextOrNull(gang.image.version);
  AddCounts(gang, &report);
  Json results = Json::array();
  for (size_t final : FinalRuns(gang)) results.push_back(DeviceResult(gang, final, now, true));
  report["results"] = std::move(results);
  return Dump(report);
}

std::string BoardJson(const Gang& gang, GangClock::time_point now) {
  Json board;
  board["watch"] = TextOrNull(gang.options.watchPattern);
  board["stopping"] = gang.stopRequests > 0;
  AddCounts(gang, &board);
  Json devices = Json::array();
  for (size_t final : FinalRuns(gang)) devices.push_back(DeviceResult(gang, final, now, false));
  board["results"] = std::move(devices);
  return Dump(board);
}

std::string JunitReport(const Gang& gang, GangClock::time_point now) {
  // The devices that are done: a station writes this while others run.
  const std::vector<size_t> done = DoneRuns(gang);
  const DeviceCounts counts = CountDevices(gang);
  const std::string head = "tests=\"" + std::to_string(done.size()) + "\" failures=\"" +
                           std::to_string(counts.failures) + "\" errors=\"" +
                           std::to_string(counts.errors) + "\" time=\"" +
                           Fixed(GangSeconds(gang, now), 3) + "\"";
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  xml += "<testsuites name=\"korvel-gang\" " + head + ">\n";
  xml += "  <testsuite name=\"korvel-gang\" " + head + " skipped=\"0\" timestamp=\"" +
         UtcTimeText(gang.startedAt, false) + "\" hostname=\"localhost\">\n";
  for (size_t final : done) xml += TestCase(gang, final, now);
  xml += "  </testsuite>\n</testsuites>\n";
  return xml;
}

std::string XmlEscape(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const size_t length = AllowedCharacterLength(text, i);
    if (length == 0) {
      escaped += "\xEF\xBF\xBD";  // U+FFFD for a byte that can't stand
      ++i;
      continue;
    }
    switch (text[i]) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '\'':
        escaped += "&apos;";
        break;
      case '\r':
        escaped += "&#13;";  // a parser would turn a bare one into a line feed
        break;
      default:
        escaped.append(text.substr(i, length));
    }
    i += length;
  }
  return escaped;
}
