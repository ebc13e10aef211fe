// SPDX-License-Identifier: Apache-2.0
// Server-side diagnostics: a line on standard error, which a CGI's web
// server copies to its error log. Never pass it a password, a hash, a
// request body or anything derived from one: that log is read by people
// who must not see them.
#pragma once

#include <string_view>

namespace larkspur::platform {

// Writes "larkspur: " + message + "\n" to standard error in one write, so
// lines of concurrent requests do not interleave. Best effort; never throws.
void diagnose(std::string_view message) noexcept;

}  // namespace larkspur::platform
