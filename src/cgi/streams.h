// The request and response streams. They default to standard input and
// output (unbuffered by the C library, bytes passed unchanged) and can be
// swapped so that pages can be driven in-process.
#pragma once

#include <istream>
#include <ostream>

namespace larkspur::cgi {

std::istream& request_stream();
std::ostream& response_stream();

// The stream must outlive its use; pass nullptr to restore the default.
void set_request_stream(std::istream* stream);
void set_response_stream(std::ostream* stream);

}  // namespace larkspur::cgi
