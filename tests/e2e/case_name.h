// Names for the cases of parameterised tests: every case table carries a
// |name| made of letters and digits, which becomes the test's name.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace korvel_e2e {

template <typename Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
  return info.param.name;
}

// For a table combined with a second parameter that has a name of its own
// (ModeName): |Row| is std::tuple<Case, Mode>; the case's name, then the
// mode's.
template <typename Row>
std::string CaseAndModeName(const ::testing::TestParamInfo<Row>& info) {
  return std::string(std::get<0>(info.param).name) + ModeName(std::get<1>(info.param));
}

}  // namespace korvel_e2e
