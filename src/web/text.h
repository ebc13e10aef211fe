// SPDX-License-Identifier: Apache-2.0
// Small text helpers shared by the pages.
#pragma once

#include <ostream>
#include <string>
#include <string_view>

namespace larkspur::web {

// Makes text safe inside HTML element content: & < > " ' become entities.
// May throw std::bad_alloc.
std::string html_escape(std::string_view text);

// Writes `text` up to its first NUL byte, as a printf "%s" would.
void write_text(std::ostream& out, std::string_view text);

}  // namespace larkspur::web
