// What the gang leaves behind: the summary table, the JSON report and the
// JUnit XML report.
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
  switch (outcome) {
    case RunOutcome::kRunning:
      return "running";
    case RunOutcome::kPassed:
      return "passed";
    case RunOutcome::kFailed:
      return "failed";
    case RunOutcome::kTimedOut:
      return "timed out";
    case RunOutcome::kStopped:
      return "stopped";
    case RunOutcome::kNotStarted:
      return "not started";
  }
  return "";
}

// UTC in ISO 8601: "2024-05-01T10:00:00Z", or without the zone letter as
// JUnit's timestamp has it.
std::string UtcTime(std::time_t time, bool zoneLetter) {
  // std::gmtime's result is shared by the program: only the gang's main
  // thread asks for the time (gmtime_r is POSIX's alone).
  const std::tm* found = std::gmtime(&time);
  const std::tm parts = found != nullptr ? *found : std::tm{};
  char text[32];
  std::strftime(text, sizeof text, zoneLetter ? "%Y-%m-%dT%H:%M:%SZ" : "%Y-%m-%dT%H:%M:%S", &parts);
  return text;
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

struct Counts {
  int passed = 0;
  int failures = 0;  // ended by itself with a status other than 0
  int errors = 0;    // timed out, stopped, or never started
};

Counts Count(const Gang& gang) {
  Counts counts;
  for (const GangRun& job : gang.runs) {
    if (job.outcome == RunOutcome::kPassed) ++counts.passed;
    if (job.outcome == RunOutcome::kFailed) ++counts.failures;
    if (job.outcome == RunOutcome::kTimedOut || job.outcome == RunOutcome::kStopped ||
        job.outcome == RunOutcome::kNotStarted) {
      ++counts.errors;
    }
  }
  return counts;
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

}  // namespace

double RunSeconds(const GangRun& job, GangClock::time_point now) {
  const GangClock::time_point end = job.outcome == RunOutcome::kRunning ? now : job.ended;
  return std::max(0.0, std::chrono::duration<double>(end - job.started).count());
}

std::string StatusText(const GangRun& job) {
  switch (job.outcome) {
    case RunOutcome::kTimedOut:
      return "timeout";
    case RunOutcome::kStopped:
      return "stopped";
    case RunOutcome::kNotStarted:
      return "not started";
    case RunOutcome::kRunning:
      return "running";
    case RunOutcome::kPassed:
    case RunOutcome::kFailed:
      break;
  }
  if (job.termSignal != 0) return "signal " + std::to_string(job.termSignal);
  return std::to_string(job.exitStatus);
}

std::string SummaryText(const Gang& gang) {
  // 1. Column widths from the contents.
  size_t portWidth = 4, resultWidth = 6, statusWidth = 6;
  for (const GangRun& job : gang.runs) {
    portWidth = std::max(portWidth, Printable(job.port).size());
    resultWidth = std::max(resultWidth, LastResultLine(job).size());
    statusWidth = std::max(statusWidth, StatusText(job).size());
  }
  const auto row = [&](const std::string& port, const std::string& result,
                       const std::string& status, const std::string& seconds) {
    std::string line = port + std::string(portWidth - port.size() + 2, ' ') + result +
                       std::string(resultWidth - result.size() + 2, ' ') +
                       std::string(statusWidth - status.size(), ' ') + status + "  " +
                       std::string(seconds.size() < 7 ? 7 - seconds.size() : 0, ' ') + seconds;
    return line + "\n";
  };

  // 2. A row per run, in the order they started.
  std::string text = row("port", "result", "status", "seconds");
  std::vector<std::string> failed;
  for (const GangRun& job : gang.runs) {
    text += row(Printable(job.port), LastResultLine(job), StatusText(job),
                Fixed(RunSeconds(job, job.ended), 1));
    if (job.outcome != RunOutcome::kPassed) failed.push_back(Printable(job.port));
  }

  // 3. The verdict, naming the ports that did not pass.
  std::string verdict = "korvel-gang: " + std::to_string(gang.runs.size() - failed.size()) +
                        " of " + std::to_string(gang.runs.size()) + " runs passed";
  for (size_t i = 0; i < failed.size(); ++i)
    verdict += (i == 0 ? "; not passed: " : ", ") + failed[i];
  return text + verdict + "\n";
}

std::string JsonReport(const Gang& gang, GangClock::time_point now) {
  const Counts counts = Count(gang);
  Json report;
  report["image"] = gang.options.image;
  report["activation"] = gang.options.activation.empty() ? Json() : Json(gang.options.activation);
  report["watch"] = gang.options.watchPattern.empty() ? Json() : Json(gang.options.watchPattern);
  report["started"] = UtcTime(gang.startedAt, true);
  report["seconds"] = GangSeconds(gang, now);
  report["runs"] = gang.runs.size();
  report["passed"] = counts.passed;
  report["failed"] = gang.runs.size() - static_cast<size_t>(counts.passed);
  Json results = Json::array();
  for (const GangRun& job : gang.runs) {
    Json result;
    result["port"] = job.port;
    result["appearance"] = job.appearance;
    result["outcome"] = OutcomeName(job.outcome);
    result["exit_status"] = job.exitStatus >= 0 ? Json(job.exitStatus) : Json();
    result["signal"] = job.termSignal != 0 ? Json(job.termSignal) : Json();
    result["last_line"] = LastResultLineRaw(job);
    result["started"] = UtcTime(job.startedAt, true);
    result["seconds"] = RunSeconds(job, now);
    result["log"] = job.logPath;
    result["output"] = job.lines;
    results.push_back(std::move(result));
  }
  report["results"] = std::move(results);
  // Bytes that are not UTF-8 (a version text may hold anything) become
  // U+FFFD instead of failing the report.
  return report.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string JunitReport(const Gang& gang, GangClock::time_point now) {
  const Counts counts = Count(gang);
  const std::string tests = std::to_string(gang.runs.size());
  const std::string head = "tests=\"" + tests + "\" failures=\"" + std::to_string(counts.failures) +
                           "\" errors=\"" + std::to_string(counts.errors) + "\" time=\"" +
                           Fixed(GangSeconds(gang, now), 3) + "\"";
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  xml += "<testsuites name=\"korvel-gang\" " + head + ">\n";
  xml += "  <testsuite name=\"korvel-gang\" " + head + " skipped=\"0\" timestamp=\"" +
         UtcTime(gang.startedAt, false) + "\" hostname=\"localhost\">\n";
  for (const GangRun& job : gang.runs) {
    // A port that appears again in station mode is a test case of its own.
    std::string name = job.port;
    if (job.appearance > 1) name += " (" + std::to_string(job.appearance) + ")";
    xml += "    <testcase classname=\"korvel-gang\" name=\"" + XmlEscape(name) + "\" time=\"" +
           Fixed(RunSeconds(job, now), 3) + "\">\n";
    const std::string message = XmlEscape(LastResultLineRaw(job));
    if (job.outcome == RunOutcome::kFailed) {
      xml += "      <failure message=\"" + message + "\" type=\"exit status " +
             XmlEscape(StatusText(job)) + "\"/>\n";
    } else if (job.outcome != RunOutcome::kPassed) {
      xml +=
          "      <error message=\"" + message + "\" type=\"" + OutcomeName(job.outcome) + "\"/>\n";
    }
    xml += "      <system-out>" + XmlEscape(Output(job)) + "</system-out>\n";
    xml += "    </testcase>\n";
  }
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

bool WriteTextFile(const std::string& path, const std::string& text) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  bool written = file != nullptr && std::fwrite(text.data(), 1, text.size(), file) == text.size();
  if (file != nullptr && std::fclose(file) != 0) written = false;
  if (!written) {
    std::fprintf(stderr, "korvel-gang: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
  }
  return written;
}
