// One-line failure reports: "<file>(<line>) / <step>: (<code>)".
#pragma once

// Prints the report for a failure at |file|:|line|, and keeps it in the
// run's account. The error code is read before anything is printed, so
// the printing cannot disturb it.
void ReportFailureAt(const char* file, int line, const char* stepName);

// Prints one of the run's plain lines (|line| without its line feed, a
// text of static storage) and keeps it as the run's last result line.
void PrintResultLine(const char* line);

// Reports a failure at the place of the call. The build maps the source
// prefix away, so __FILE__ is the path relative to the project root.
#define ReportFailure(stepName) ReportFailureAt(__FILE__, __LINE__, (stepName))
