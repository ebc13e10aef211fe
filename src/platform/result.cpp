// SPDX-License-Identifier: Apache-2.0
#include "platform/result.h"

#include <cerrno>
#include <cstring>

namespace larkspur::platform {

std::string Error::reason() const {
  if (code != 0) return std::strerror(code);
  if (!fixed.empty()) return std::string(fixed);
  return message.empty() ? std::string("unknown reason") : message;
}

Error system_error(Step step, std::string subject) {
  const int code = errno;
  return Error{step, std::move(subject), code != 0 ? code : EIO, {}, {}};
}

Error fixed_error(Step step, std::string subject, std::string_view why) {
  return Error{step, std::move(subject), 0, why, {}};
}

Error message_error(Step step, std::string subject, std::string why) {
  return Error{step, std::move(subject), 0, {}, std::move(why)};
}

}  // namespace larkspur::platform
