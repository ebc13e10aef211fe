// SPDX-License-Identifier: Apache-2.0
// The request and response streams. They default to standard input and
// output through buffers of our own that pass bytes unchanged, and can be
// swapped so that pages can be driven in-process.
#pragma once

#include <chrono>
#include <istream>
#include <ostream>

namespace larkspur::cgi {

// A byte-oriented decoder should read through request_stream().rdbuf():
// the default buffer refills 64 KiB at a time, so sgetc/sbumpc/sgetn stay
// cheap per byte. Its buffer is wiped when replaced or destroyed, since
// request bodies hold passwords.
std::istream& request_stream();
// Buffered; gateway_main flushes it before returning.
std::ostream& response_stream();

// When no byte of the request body arrives on standard input for this
// long, the default request stream ends there, and decoding fails as for a
// body cut short.
inline constexpr std::chrono::milliseconds kRequestIdleTimeout{60000};
// For tests of the default stream.
void set_request_idle_timeout(std::chrono::milliseconds timeout);

// The stream must outlive its use; pass nullptr to restore the default.
void set_request_stream(std::istream* stream);
void set_response_stream(std::ostream* stream);

}  // namespace larkspur::cgi
