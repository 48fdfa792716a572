#include "common/report.h"

#include <cstdio>

#include "common/progress.h"
#include "common/run_state.h"
#include "common/system.h"

void ReportFailureAt(const char* file, int line, const char* stepName) {
  const unsigned long code = LastSystemError();
  ProgressEnd();  // the report takes the line the progress stood on
  std::printf("%s(%d) / %s: (%lu)\n", file, line, stepName, code);
  RunAccountRecord& account = run.account;
  if (account.reportCount < account.reports.size()) {
    account.reports[account.reportCount++] = ReportRecord{file, stepName, code};
  }
}

void PrintResultLine(const char* line) {
  std::printf("%s\n", line);
  run.account.resultLine = line;
}
