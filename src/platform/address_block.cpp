// SPDX-License-Identifier: Apache-2.0
#include "platform/address_block.h"

#ifdef _WIN32
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#endif

#include <cstring>

namespace larkspur::platform {

std::string address_block(std::string_view address) {
  // The longest IPv6 text, with an IPv4 tail and a zone, fits well within.
  if (address.find(':') == std::string_view::npos || address.size() >= 64) {
    return std::string(address);
  }
  const std::string text(address);
  unsigned char bytes[16] = {};
  if (::inet_pton(AF_INET6, text.c_str(), bytes) != 1) return text;
  char shown[64] = {};
  static constexpr unsigned char kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (std::memcmp(bytes, kMappedPrefix, sizeof kMappedPrefix) == 0) {
    if (::inet_ntop(AF_INET, bytes + 12, shown, sizeof shown) == nullptr) return text;
    return shown;
  }
  std::memset(bytes + 8, 0, 8);
  if (::inet_ntop(AF_INET6, bytes, shown, sizeof shown) == nullptr) return text;
  return std::string(shown) + "/64";
}

}  // namespace larkspur::platform
