// What korvel should print, line by line, and the comparison with what it
// did print.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/run_korvel.h"

namespace korvel_e2e {

// One expected line of standard output: either an exact text, one of a few
// exact texts, or a failure report "<file>(<line>) / <step>: (<code>)".
struct ExpectedLine {
  std::vector<std::string> texts{};  // plain line: any of these, exactly
  // Report: the file and step exactly; the line must be a ReportFailure
  // call in that source file; the error code exactly when given. Every
  // report comes from a file that both platforms share; under Wine (see
  // UnderWine) the code is not compared: Windows' codes are other numbers.
  bool report = false;
  std::string file{};
  std::string step{};
  std::optional<unsigned long> code{};

  std::string ToString() const;
};

inline ExpectedLine Line(std::string text) {
  return ExpectedLine{{std::move(text)}};
}

// For a line whose text depends on timing that the test can't pin down.
inline ExpectedLine AnyLineOf(std::vector<std::string> texts) {
  return ExpectedLine{std::move(texts)};
}

inline ExpectedLine Report(std::string file, std::string step,
                           std::optional<unsigned long> code = std::nullopt) {
  return ExpectedLine{{}, true, std::move(file), std::move(step), code};
}

using ExpectedLines = std::vector<ExpectedLine>;

// Concatenates line lists, so a case can be written as "start of run" +
// "its own lines".
ExpectedLines operator+(ExpectedLines first, const ExpectedLines& second);

// Success when |output| is exactly |expected|, line for line, ending with a
// line feed; otherwise a message that shows both.
::testing::AssertionResult OutputIs(const std::string& output, const ExpectedLines& expected);

// Success when |run| ended by itself with |status|, printed exactly
// |expected| and nothing on standard error.
::testing::AssertionResult RunIs(const RunResult& run, const ExpectedLines& expected, int status);

// Success when |run| ended by itself within |budget| plus a second (plus
// StartCost), with little processor time for it (a run that waits must wait
// in the kernel, not in a loop) and little memory, whatever a peer sent.
::testing::AssertionResult EndsWithin(const RunResult& run, std::chrono::milliseconds budget);

// The lines every run that gets past the argument check starts with.
ExpectedLines ActivatedStart();

// The banner.
inline ExpectedLine Banner() {
  return Line("Version: 2.3");
}

}  // namespace korvel_e2e
