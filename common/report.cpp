#include "common/report.h"

#include <cstdio>

#include "common/progress.h"
#include "common/system.h"

void ReportFailureAt(const char* file, int line, const char* stepName) {
  const unsigned long code = LastSystemError();
  ProgressEnd();  // the report takes the line the progress stood on
  std::printf("%s(%d) / %s: (%lu)\n", file, line, stepName, code);
}
