// SPDX-License-Identifier: Apache-2.0
// The block of addresses one client is taken to hold.
#pragma once

#include <string>
#include <string_view>

namespace larkspur::platform {

// An IPv6 address stands for its /64, which one host usually holds whole:
// "2001:db8:1:2::/64". An IPv4 address mapped into IPv6 is the IPv4 address
// it carries. Anything else (an IPv4 address, a text that is no address) is
// returned as it is.
std::string address_block(std::string_view address);

}  // namespace larkspur::platform
