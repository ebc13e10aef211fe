// SPDX-License-Identifier: Apache-2.0
// Decoding of multipart/form-data request bodies into form entries.
#pragma once

#include "cgi/form.h"

namespace larkspur::cgi {

// Reads `content_length` bytes of the request stream, split at the
// delimiters built from the request's boundary.
DecodeResult form_decode_multipart();

}  // namespace larkspur::cgi
