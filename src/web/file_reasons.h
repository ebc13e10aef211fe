// SPDX-License-Identifier: Apache-2.0
// Why a file the program needs cannot be used, in words for an
// administrator: shared by --check and the diagnostics of a request.
#pragma once

#include <string>

namespace larkspur::web {

// Why the AuthUserFile at `path` cannot be read, found after the fact: the
// system's error text, or "not a regular file".
std::string unreadable_reason(const std::string& path);

}  // namespace larkspur::web
