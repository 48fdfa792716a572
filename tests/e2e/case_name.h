// Names for the cases of parameterised tests: every case table carries a
// |name| made of letters and digits, which becomes the test's name.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace korvel_e2e {

template <typename Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
  return info.param.name;
}

}  // namespace korvel_e2e
