// Repeats a POSIX call that a signal interrupted, so EINTR never reaches
// the logic above. POSIX only.
#pragma once

#include <cerrno>

template <typename Call>
auto RetryAfterSignal(Call call) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}
