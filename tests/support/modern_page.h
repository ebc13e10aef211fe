// SPDX-License-Identifier: Apache-2.0
// The header lines every modern page carries after its Content-type line,
// written out once for the tests that compare whole outputs.
#pragma once

#include <string>

namespace larkspur::test {

inline const std::string kModernHeaders =
    "Cache-Control: no-store\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Referrer-Policy: no-referrer\r\n"
    "Content-Security-Policy: default-src 'none'; style-src 'unsafe-inline'; "
    "form-action 'self'; frame-ancestors 'none'; base-uri 'none'\r\n"
    "\r\n";

}  // namespace larkspur::test
