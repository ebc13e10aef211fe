// SPDX-License-Identifier: Apache-2.0
// Where libpwquality does not exist, naming a configuration for it is a
// fault: every change fails rather than passing unchecked.
#include "rules/pwquality_check.h"

namespace larkspur::rules {

platform::Result<std::string> quality_refusal(const std::string& config_path, std::string_view,
                                              std::string_view, std::string_view) {
  return platform::fixed_error(platform::Step::kOther, config_path,
                               "libpwquality is not available on this system");
}

platform::Result<std::vector<std::string>> quality_files(const std::string& config_path) {
  return platform::fixed_error(platform::Step::kOther, config_path,
                               "libpwquality is not available on this system");
}

}  // namespace larkspur::rules
