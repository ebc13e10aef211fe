// SPDX-License-Identifier: Apache-2.0
// Readable names for the cases of parameterised tests, so that `ctest -R`
// and `--gtest_filter` can pick one: the case's label with every byte that
// is not a letter or digit turned into '_'.
#pragma once

#include <string>
#include <string_view>

namespace larkspur::test {

inline std::string case_name(std::string_view label) {
  std::string name;
  for (const char c : label) {
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    name += alnum ? c : '_';
  }
  return name;
}

// The name generator for INSTANTIATE_TEST_SUITE_P when the case has a `label`.
struct LabelName {
  template <typename Info>
  std::string operator()(const Info& info) const {
    return case_name(info.param.label);
  }
};

}  // namespace larkspur::test
