// Names for the cases of parameterised tests: every case table carries a
// |name| made of letters and digits, which becomes the test's name and what
// a failure shows of the case.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <tuple>

namespace korvel_e2e {

// Prints a case as its name. The case tables live in their test file's
// unnamed namespace, where `using korvel_e2e::PrintTo;` lets the test
// framework find this.
template <typename Case>
requires requires(const Case& param) {
  param.name;
}
void PrintTo(const Case& param, std::ostream* out) {
  *out << param.name;
}

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
