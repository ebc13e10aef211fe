// SPDX-License-Identifier: Apache-2.0
// Everything a body reader still delivers, read `step` bytes at a time.
#pragma once

#include <cstdint>
#include <string>

#include "cgi/body_reader.h"

namespace larkspur::test {

inline std::string read_all(cgi::BodyReader& reader, std::int64_t step) {
  std::string out;
  std::string buf(static_cast<std::size_t>(step), '\0');
  for (;;) {
    const std::int64_t n = cgi::body_read(reader, buf.data(), step);
    if (n > 0) out.append(buf.data(), static_cast<std::size_t>(n));
    if (n < step) return out;
  }
}

}  // namespace larkspur::test
