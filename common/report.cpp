#include "common/report.h"

#include <cstdio>

void ReportFailureAt(const char* file, int line, const char* stepName) {
  const unsigned long code = LastSystemError();
  std::printf("%s(%d) / %s: (%lu)\n", file, line, stepName, code);
}
