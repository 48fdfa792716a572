// A failed run in plain words: what failed, on which port or file (the
// path actually tried), the system's own text for the error code, and the
// likely cause and fix. Worked out once, from what the run printed (its
// innermost failure report's step and code, and its last result line), so
// that korvel on a terminal and korvel-gang, which reads korvel's output,
// give the same reason for the same failure.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// One failure report line, "<file>(<line>) / <step>: (<code>)".
struct ReportedFailure {
  std::string file;
  std::string step;
  unsigned long code = 0;
};

// How a run ended, as its output tells.
struct RunAccount {
  std::vector<ReportedFailure> reports;  // innermost first, as printed
  std::string resultLine;                // the last of korvel's plain lines; "" when none
};

// Reads a failure report line; false for any other line.
bool ParseReportLine(std::string_view line, ReportedFailure* report);

// The account of a run from its standard output, split into lines.
RunAccount ReadRunAccount(const std::vector<std::string>& outputLines);

// The account of the run in this process, as it printed it so far.
RunAccount AccountOfThisRun();

// Whether the account is that of a run that passed (status 0): programmed,
// or woken for STOP.
bool RunPassed(const RunAccount& account);

// One or two sentences for a run that failed with |account|, given the
// port and image arguments korvel had; "" for a run that passed and for a
// command line that only got the usage text.
std::string ExplainFailure(const RunAccount& account, const std::string& portArgument,
                           const std::string& imageArgument);

// ExplainFailure for a run's standard output lines.
std::string ExplainRunOutput(const std::vector<std::string>& outputLines,
                             const std::string& portArgument, const std::string& imageArgument);
