// The reason a failed run gives, in korvel's own words: the explanation
// korvel prints on a terminal, worked out from the same output.
#include "app/explanation.h"

#include "tools/gang/gang.h"

std::string KorvelExplanation(const GangRun& job) {
  return ExplainRunOutput(job.lines, job.port, job.imageArgument);
}
