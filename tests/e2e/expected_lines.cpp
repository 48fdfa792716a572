#include "tests/e2e/expected_lines.h"

#include <fstream>
#include <regex>
#include <sstream>

namespace korvel_e2e {

namespace {

// The source line |line| (1-based) of |file| under the source tree, or
// nothing when there is no such line.
std::optional<std::string> SourceLine(const std::string& file, unsigned long line) {
  std::ifstream source(std::string(KORVEL_SOURCE_DIR) + "/" + file);
  std::string text;
  for (unsigned long number = 1; std::getline(source, text); ++number) {
    if (number == line) return text;
  }
  return std::nullopt;
}

// Why |actual| is not the report |expected|, or "" when it is. Under Wine
// the error codes are Windows' own and are not compared.
std::string ReportMismatch(const std::string& actual, const ExpectedLine& expected) {
  static const std::regex kReport(R"(^(.+)\(([0-9]+)\) / (.+): \(([0-9]+)\)$)");
  std::smatch parts;
  if (!std::regex_match(actual, parts, kReport)) return "not a failure report";
  const std::string& file = expected.file;
  if (parts[1] != file) return "reported from another file";
  if (parts[3] != expected.step) return "another step";
  if (expected.code && !UnderWine() && std::stoul(parts[4]) != *expected.code) {
    return "another error code";
  }
  const std::optional<std::string> source = SourceLine(file, std::stoul(parts[2]));
  if (!source) return "no such line in " + file;
  if (source->find("ReportFailure") == std::string::npos) {
    return "line " + parts[2].str() + " of " + file + " reports nothing: " + *source;
  }
  return "";
}

std::string Mismatch(const std::string& actual, const ExpectedLine& expected) {
  if (expected.report) return ReportMismatch(actual, expected);
  for (const std::string& text : expected.texts) {
    if (actual == text) return "";
  }
  return "different text";
}

}  // namespace

std::string ExpectedLine::ToString() const {
  if (!report) {
    std::string text;
    for (const std::string& choice : texts) text += (text.empty() ? "" : " | ") + choice;
    return text;
  }
  const bool anyCode = !code || UnderWine();
  return file + "(<line>) / " + step + ": (" + (anyCode ? "<any>" : std::to_string(*code)) + ")";
}

ExpectedLines operator+(ExpectedLines first, const ExpectedLines& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

::testing::AssertionResult OutputIs(const std::string& output, const ExpectedLines& expected) {
  std::vector<std::string> lines;
  std::istringstream stream(output);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);

  std::string problem;
  if (!output.empty() && output.back() != '\n')
    problem = "the output does not end with a line feed";
  // A Windows console program ends its lines with CR LF.
  for (size_t i = 0; UnderWine() && i < lines.size(); ++i) {
    const bool last = i + 1 == lines.size() && output.back() != '\n';
    if (last) continue;
    if (!lines[i].ends_with('\r')) {
      if (problem.empty()) problem = "line " + std::to_string(i + 1) + " does not end with CR LF";
    } else {
      lines[i].pop_back();
    }
  }
  for (size_t i = 0; problem.empty() && i < std::max(lines.size(), expected.size()); ++i) {
    if (i >= lines.size()) {
      problem = "line " + std::to_string(i + 1) + " is missing";
    } else if (i >= expected.size()) {
      problem = "line " + std::to_string(i + 1) + " is one too many";
    } else if (std::string why = Mismatch(lines[i], expected[i]); !why.empty()) {
      problem = "line " + std::to_string(i + 1) + ": " + why;
    }
  }
  if (problem.empty()) return ::testing::AssertionSuccess();

  std::ostringstream message;
  message << problem << "\nexpected:\n";
  for (const ExpectedLine& line : expected) message << "  " << line.ToString() << "\n";
  message << "actual:\n";
  for (const std::string& line : lines) message << "  " << line << "\n";
  return ::testing::AssertionFailure() << message.str();
}

::testing::AssertionResult RunIs(const RunResult& run, const ExpectedLines& expected, int status) {
  if (run.timedOut) {
    return ::testing::AssertionFailure() << "korvel did not end within its time; it printed:\n"
                                         << run.out << run.err;
  }
  if (run.termSignal != 0) {
    return ::testing::AssertionFailure()
           << "korvel was ended by signal " << run.termSignal << "; it printed:\n"
           << run.out << run.err;
  }
  if (::testing::AssertionResult lines = OutputIs(run.out, expected); !lines) return lines;
  if (!run.err.empty()) {
    return ::testing::AssertionFailure() << "korvel wrote to standard error:\n" << run.err;
  }
  if (run.exitStatus != status) {
    return ::testing::AssertionFailure()
           << "exit status " << run.exitStatus << ", expected " << status;
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult EndsWithin(const RunResult& run, std::chrono::milliseconds budget) {
  using std::chrono::milliseconds;
  if (run.timedOut) return ::testing::AssertionFailure() << "the run did not end";
  const milliseconds limit = budget + milliseconds(1000) + StartCost();
  if (run.wallTime > limit) {
    return ::testing::AssertionFailure()
           << "the run took " << run.wallTime.count() << " ms, more than " << limit.count();
  }
  const milliseconds cpuLimit = milliseconds(250) + run.wallTime / 5 + StartCost();
  if (run.cpuTime > cpuLimit) {
    return ::testing::AssertionFailure()
           << "the run used " << run.cpuTime.count() << " ms of processor time in "
           << run.wallTime.count() << " ms: it spins";
  }
  // Against what a run that only prints its usage holds (a sanitizer's
  // shadow memory is most of it); Wine's own processes count in its figure.
  static const long baseline = RunKorvel({}).maxResidentKb;
  if (!UnderWine() && run.maxResidentKb > baseline + 16 * 1024) {
    return ::testing::AssertionFailure()
           << "the run held " << run.maxResidentKb << " KiB, its usage alone " << baseline;
  }
  return ::testing::AssertionSuccess();
}

ExpectedLines ActivatedStart() {
  return {Banner(), Line("Bootloader activated.")};
}

}  // namespace korvel_e2e
