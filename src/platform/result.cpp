// SPDX-License-Identifier: Apache-2.0
#include "platform/result.h"

#include <cerrno>
#include <cstring>

namespace larkspur::platform {

std::string Error::reason() const {
  if (code != 0) return std::strerror(code);
  return std::string(fixed.empty() ? std::string_view("unknown reason") : fixed);
}

Error system_error(Step step, std::string subject) {
  const int code = errno;
  return Error{step, std::move(subject), code != 0 ? code : EIO, {}};
}

Error fixed_error(Step step, std::string subject, std::string_view why) {
  return Error{step, std::move(subject), 0, why};
}

}  // namespace larkspur::platform
