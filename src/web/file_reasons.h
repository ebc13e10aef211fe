// SPDX-License-Identifier: Apache-2.0
// Why a file the program needs cannot be used, in words for an
// administrator: shared by --check and the diagnostics of a request.
#pragma once

#include <string>

namespace larkspur::web {

// The INI file a request reads, with the working directory in front.
std::string config_file_shown();

// Why load_config failed: the system's error text, or that nothing in the
// file is a setting.
std::string config_failure_reason();

// Why the AuthUserFile at `path` cannot be read, found after the fact: the
// system's error text, or "not a regular file".
std::string unreadable_reason(const std::string& path);

}  // namespace larkspur::web
