// The reason a failed run gives, in korvel's own words.
#include "tools/gang/gang.h"

std::string KorvelExplanation(const GangRun& job, const GangOptions&) {
  return LastResultLineRaw(job);
}
