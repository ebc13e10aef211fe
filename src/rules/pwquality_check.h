// SPDX-License-Identifier: Apache-2.0
// libpwquality's verdict on a new password, under an administrator's
// pwquality configuration file, with cracklib's dictionary check.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace larkspur::rules {

// Empty when the password passes; else libpwquality's reason, in English.
// The reason never holds the password.
platform::Result<std::string> quality_refusal(const std::string& config_path, std::string_view user,
                                              std::string_view old_password,
                                              std::string_view new_password);

// What the check reads besides the configuration file itself: its .d
// directory and the dictionary's directory. For confinement and --check.
platform::Result<std::vector<std::string>> quality_files(const std::string& config_path);

}  // namespace larkspur::rules
